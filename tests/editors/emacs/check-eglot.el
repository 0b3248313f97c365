;;; check-eglot.el --- Checks qxl-eglot.el with qxl-lsp in batch mode  -*- lexical-binding: t; -*-

;; Run in the folder that lsp_client_test.py prepared.  $QXL_EMACS_KIT
;; holds copies of qxl-mode.el and qxl-eglot.el, $QXL_LSP_SERVER is the
;; server and $QXL_TEST_CASES what the editor must show; the failures go
;; to $QXL_TEST_RESULT, which ends with the line "checked N".  Every wait
;; for the server is bounded.

(load (expand-file-name "check-common.el" (file-name-directory load-file-name))
      nil t)
(require 'package)

(defun check-fail (text)
  "Count a check that failed with TEXT."
  (setq check-count (1+ check-count))
  (push text check-failures))

(defvar check-wait (/ (alist-get 'wait_ms check-cases) 1000.0)
  "Seconds that each wait for the server may last.")

(defvar check-server (getenv "QXL_LSP_SERVER"))

(defvar check-server-process nil
  "The server's process, once eglot has started it.")

(defun check-server-state ()
  "What became of the server, for a failure's text."
  (cond ((null check-server-process) "the server's process is gone")
        ((process-live-p check-server-process)
         "qxl-lsp is running but did not answer")
        (t (format "qxl-lsp exited with status %d"
                   (process-exit-status check-server-process)))))

(defun check-run ()
  ;; -Q leaves out the packages of Debian's elpa-* packages: activate them
  ;; as a plain start of Emacs does.
  (setq package-directory-list '("/usr/local/share/emacs/site-lisp/elpa"
                                 "/usr/share/emacs/site-lisp/elpa")
        package-user-dir (expand-file-name "elpa" user-emacs-directory))
  (package-initialize)
  (unless (require 'eglot nil t)
    (error "eglot not found: it comes with Debian package elpa-eglot; run make deps"))

  ;; The kit byte-compiles without warnings, and the compiled file loads.
  (let ((kit (getenv "QXL_EMACS_KIT"))
        (byte-compile-error-on-warn t))
    (add-to-list 'load-path kit)
    (dolist (file '("qxl-mode.el" "qxl-eglot.el"))
      (check (concat "byte-compile " file)
             (byte-compile-file (expand-file-name file kit)) t))
    (require 'qxl-eglot)
    (check "qxl-eglot loaded from"
           (file-name-nondirectory (symbol-file 'qxl-eglot-contact))
           "qxl-eglot.elc"))

  (setq qxl-eglot-program check-server
        eglot-connect-timeout check-wait
        eglot-sync-connect check-wait)
  (let* ((file (alist-get 'file check-cases))
         (buffer (find-file-noselect file))
         (want (alist-get 'messages check-cases)))
    (with-current-buffer buffer
      (check "mode of the source" major-mode 'qxl-mode)
      (let ((guess (eglot--guess-contact)))
        (check "server command" (car (nth 3 guess)) check-server)
        (check "server's settings sent with initialize"
               (plist-get (cdr (nth 3 guess)) :initializationOptions)
               (list :qxl (list :options "")))
        (condition-case err
            (apply #'eglot guess)
          (error (check-fail (format "eglot could not connect (%s): %s"
                                     (check-server-state)
                                     (error-message-string err))))))
      (let ((server (eglot-current-server)))
        (when server
          (setq check-server-process (jsonrpc--process server))
          (check "buffer managed by eglot" (and eglot--managed-mode t) t)
          ;; The diagnostics reach flymake.  Flymake waits for a command
          ;; loop and a window to start its backends; batch mode has
          ;; neither, so start them here.
          (flymake-start)
          (let ((deadline (+ (float-time) check-wait)))
            (while (and (< (length (flymake-diagnostics)) (length want))
                        (< (float-time) deadline)
                        (process-live-p check-server-process))
              (accept-process-output nil 0.05)))
          (let ((got (sort (mapcar
                            (lambda (d)
                              (list (line-number-at-pos
                                     (flymake-diagnostic-beg d))
                                    (flymake-diagnostic-text d)
                                    (flymake-diagnostic-type d)))
                            (flymake-diagnostics))
                           (lambda (a b) (< (car a) (car b))))))
            (if (< (length got) (length want))
                (check-fail (format "diagnostics: %d of %d within %s s (%s)"
                                    (length got) (length want) check-wait
                                    (check-server-state)))
              (check "number of diagnostics" (length got) (length want))
              (cl-loop
               for g in got for w in want do
               (let ((text (alist-get 'text w)))
                 (check (format "diagnostic at line %d" (alist-get 'line w))
                        (list (car g) (string-suffix-p text (nth 1 g)))
                        (list (alist-get 'line w) t))
                 (when (eq (alist-get 'error w) t)
                   (check (format "type of \"%s\"" text) (nth 2 g)
                          'eglot-error))))))
          ;; The server answers shutdown (eglot then sends exit and ends
          ;; the process at once, so its exit status says nothing).
          (condition-case err
              (progn (eglot-shutdown server nil check-wait)
                     (check "shutdown answered" t t))
            (error (check-fail (format "shutdown: %s (%s)"
                                       (error-message-string err)
                                       (check-server-state))))))))))

(condition-case err
    (check-run)
  (error (check-fail (format "error in the checks: %s"
                             (error-message-string err)))))
(check-write-result)

;;; check-eglot.el ends here
