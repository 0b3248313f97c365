;;; qxl-eglot.el --- QXL buffers served by qxl-lsp through eglot  -*- lexical-binding: t; -*-

;; Keywords: languages
;; Package-Requires: ((emacs "28.1") (eglot "1.9"))

;;; Commentary:

;; qxl-lsp is QXL's language server: it compiles the buffer's unsaved
;; text as qxl would and reports the compiler's messages, the types and
;; declarations of names, completions and more.  This file tells eglot
;; to start it for `qxl-mode' buffers.
;;
;; With qxl-mode.el and this file on `load-path', in the init file:
;;
;;   (require 'qxl-eglot)
;;   (add-hook 'qxl-mode-hook #'eglot-ensure)   ; or M-x eglot
;;
;; Customize `qxl-eglot-program' when qxl-lsp is not on `exec-path', and
;; `qxl-eglot-options' for option words of qxl that every analysis uses.

;;; Code:

(require 'eglot)
(require 'qxl-mode)

(defcustom qxl-eglot-program "qxl-lsp"
  "The language server program that eglot starts for QXL buffers."
  :type 'string
  :group 'qxl)

(defcustom qxl-eglot-options ""
  "Option words of qxl that the language server uses for every analysis.
They are given as the server's setting qxl.options, a string split at
white space, for example \"-iinclude -dDEBUG=1\"."
  :type 'string
  :group 'qxl)

(defun qxl-eglot-settings ()
  "The server's settings as a plist for eglot."
  (list :qxl (list :options qxl-eglot-options)))

(defun qxl-eglot-contact (&optional _interactive)
  "How eglot starts the language server: the program and its settings."
  (list qxl-eglot-program :initializationOptions (qxl-eglot-settings)))

(defun qxl-eglot-configure ()
  "Give the buffer's workspace configuration the server's settings.
A directory-local value of `eglot-workspace-configuration' wins."
  (unless (local-variable-p 'eglot-workspace-configuration)
    (setq-local eglot-workspace-configuration (qxl-eglot-settings))))

(add-to-list 'eglot-server-programs '(qxl-mode . qxl-eglot-contact))
(add-hook 'qxl-mode-hook #'qxl-eglot-configure)

(provide 'qxl-eglot)

;;; qxl-eglot.el ends here
