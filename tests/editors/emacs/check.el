;;; check.el --- Checks the Emacs kit in batch mode  -*- lexical-binding: t; -*-

;; Run in the folder that cases.py prepared.  $QXL_EMACS_KIT holds a copy
;; of qxl-mode.el, $QXL_TEST_CASES the cases; the failures go to
;; $QXL_TEST_RESULT, which ends with the line "checked N".

(load (expand-file-name "check-common.el" (file-name-directory load-file-name))
      nil t)

(defmacro check-guarded (what &rest body)
  "Run BODY; an error in it is a failure of WHAT."
  (declare (indent 1))
  `(condition-case err
       (progn ,@body)
     (error (push (format "%s: %s" ,what (error-message-string err))
                  check-failures))))

(defvar check-work default-directory)

;; The kit byte-compiles without warnings, and the compiled file loads.
(check-guarded "byte-compile"
  (let* ((kit (getenv "QXL_EMACS_KIT"))
         (byte-compile-error-on-warn t))
    (check "byte-compile qxl-mode.el"
           (byte-compile-file (expand-file-name "qxl-mode.el" kit)) t)
    (add-to-list 'load-path kit)
    (require 'qxl-mode)
    (check "qxl-mode loaded from"
           (file-name-nondirectory (symbol-file 'qxl-mode)) "qxl-mode.elc")))

(require 'compile)

(defconst check-types '(("E" . 2) ("W" . 1) ("I" . 0)))

(defun check-messages (what want)
  "Compare the messages that the current compilation buffer found with WANT."
  (compilation--ensure-parse (point-max))
  (let ((pos (point-min)) got)
    (while (setq pos (next-single-property-change pos 'compilation-message))
      (let ((msg (get-text-property pos 'compilation-message)))
        (when msg
          (let ((loc (compilation--message->loc msg)))
            (push (list (expand-file-name
                         (caar (compilation--loc->file-struct loc)))
                        (or (compilation--loc->line loc) 0)
                        (compilation--message->type msg)
                        (save-excursion
                          (goto-char pos)
                          (buffer-substring (line-beginning-position)
                                            (line-end-position))))
                  got)))))
    (setq got (nreverse got))
    (check (format "%s: number of messages" what) (length got) (length want))
    (cl-loop for g in got for w in want for i from 1 do
             (pcase-let ((`(,file ,line ,type ,text) w))
               (check (format "%s: message %d (%s)" what i (nth 3 g))
                      (list (nth 0 g) (nth 1 g) (nth 2 g)
                            (and (string-search text (nth 3 g)) t))
                      (list (expand-file-name file) line
                            (cdr (assoc type check-types)) t))))))

;; The real outputs, parsed with every regexp that compile knows.
(dolist (run (alist-get 'runs check-cases))
  (let ((name (alist-get 'name run)))
    (check-guarded name
      (with-temp-buffer
        (setq default-directory check-work)
        (insert-file-contents (alist-get 'output run))
        (compilation-mode)
        (check-messages name (alist-get 'messages run))))))

;; Detection, highlighting and indentation.
(defconst check-faces
  '((statement . font-lock-keyword-face) (storage . font-lock-keyword-face)
    (construct . font-lock-keyword-face) (type . font-lock-type-face)
    (builtin-type . font-lock-type-face)
    (predefined . font-lock-constant-face)
    (primitive . font-lock-builtin-face)
    (variable . font-lock-variable-name-face) (plain . nil)
    (string . font-lock-string-face) (char . font-lock-string-face)
    (escape . font-lock-string-face)
    (comment . font-lock-comment-face) (todo . font-lock-comment-face)
    (include . font-lock-preprocessor-face)
    (include-file . font-lock-string-face)
    (define . font-lock-preprocessor-face)
    (conditional . font-lock-preprocessor-face)
    (unknown-directive . font-lock-warning-face))
  "The face of each kind of highlighting; C mode leaves numbers plain.")

(let ((highlights (alist-get 'highlights check-cases)))
  (dolist (file (delete-dups (mapcar (lambda (h) (alist-get 'file h))
                                     highlights)))
    (check-guarded file
      (with-current-buffer (find-file-noselect (expand-file-name file))
        (check (concat file ": mode") major-mode 'qxl-mode)
        (font-lock-ensure)
        (dolist (h highlights)
          (let ((kind (intern (alist-get 'kind h))))
            (when (and (equal (alist-get 'file h) file)
                       (assq kind check-faces))
              (goto-char (point-min))
              (forward-line (1- (alist-get 'line h)))
              (forward-char (1- (alist-get 'column h)))
              (let ((face (get-text-property (point) 'face))
                    (want (cdr (assq kind check-faces))))
                (check (format "%s %d:%d %s" file (alist-get 'line h)
                               (alist-get 'column h) (alist-get 'word h))
                       (if want (and (memq want (ensure-list face)) want)
                         face)
                       want)))))))))

(check-guarded "indentation"
  (with-temp-buffer
    (qxl-mode)
    (insert "command f() on k['x']\n{\nif (point)\nsay(\"x\");\n}\n")
    (indent-region (point-min) (point-max))
    (goto-char (point-min))
    (forward-line 2)
    (check "indentation of a statement" (current-indentation) c-basic-offset)
    (forward-line 1)
    (check "indentation of a substatement" (current-indentation)
           (* 2 c-basic-offset))))

;; M-x compile with the mode's command, on a file whose name has a blank.
(check-guarded "compile"
  (let* ((make (alist-get 'make check-cases))
         (file (alist-get 'file make)))
    (with-current-buffer (find-file-noselect (expand-file-name file))
      (check "compile-command" compile-command
             (concat "qxl " (shell-quote-argument file)))
      ;; The output is all in the buffer only when compile's sentinel
      ;; has run, which may be after the process has ended.
      (let* ((finished nil)
             (compilation-finish-functions
              (list (lambda (&rest _) (setq finished t))))
             (buffer (compile compile-command))
             (deadline (+ (float-time) 30)))
        (while (and (not finished) (< (float-time) deadline))
          (accept-process-output nil 0.1))
        (check "compile finished" finished t)
        (with-current-buffer buffer
          (check-messages "compile" (alist-get 'messages make)))))))

(check-write-result)
(kill-emacs (if check-failures 1 0))

;;; check.el ends here
