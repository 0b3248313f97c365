;;; check-common.el --- What the Emacs checks share  -*- lexical-binding: t; -*-

;; Loaded by check.el and check-eglot.el.  The failures go to
;; $QXL_TEST_RESULT, which ends with the line "checked N"; $QXL_TEST_CASES
;; holds the cases, read into `check-cases'.

(require 'json)
(require 'cl-lib)

(defvar check-failures nil)
(defvar check-count 0)

(defun check (what got want)
  "Count a check of WHAT; record a failure unless GOT equals WANT."
  (setq check-count (1+ check-count))
  (unless (equal got want)
    (push (format "%s: got %S, want %S" what got want) check-failures)))

(defun check-write-result ()
  (with-temp-file (getenv "QXL_TEST_RESULT")
    (dolist (failure (reverse check-failures))
      (insert failure "\n"))
    (insert (format "checked %d\n" check-count))))

(defvar check-cases
  (let ((json-object-type 'alist) (json-array-type 'list)
        (json-key-type 'symbol))
    (json-read-file (getenv "QXL_TEST_CASES"))))

(provide 'check-common)
