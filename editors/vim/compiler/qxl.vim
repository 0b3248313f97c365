" Vim compiler file
" Compiler:	qxl, the QXL compiler of the Quillet text editor

if exists("current_compiler")
  finish
endif
let current_compiler = "qxl"

if exists(":CompilerSet") != 2
  command -nargs=* CompilerSet setlocal <args>
endif

let s:cpo_save = &cpo
set cpo&vim

" qxl takes its options before the file name, so ":make -v" works.
CompilerSet makeprg=qxl\ $*\ %:S

" The message lines of qxl:
"   FILE LINE: warning: TEXT     a warning (W)
"   FILE LINE: TEXT              an error (E), except for these notes, which
"                                do not stop the compile (I): unknown
"                                preprocessor directive, mismatched types,
"                                can't cast, illegal character, unterminated
"                                comment
"   FILE: can't open file        the source or output file (E, no line)
"   FILE: can't create file
" With -v, the lexer's notes may follow the progress marks ("FILE: ###") on
" the same line.  Everything else (the logo, the include path listing, the
" progress marks) is dropped.
let s:lexer_note = '%\%%(illegal character %\d%\+ (%\|unterminated comment%$%\)%\@='
let s:note = '%\%%(unknown preprocessor directive%$%\|mismatched types: %\|can''t cast %\)%\@='
let s:efm = [
      \ '%I#%\+%f %l: ' . s:lexer_note . '%m',
      \ '%I%.%\{-}: #%\+%f %l: ' . s:lexer_note . '%m',
      \ '%I%f %l: ' . s:lexer_note . '%m',
      \ '%I%f %l: ' . s:note . '%m',
      \ '%W%f %l: warning: %m',
      \ '%E%f %l: %m',
      \ '%E%f: %\%%(can''t %\%%(open%\|create%\) file%$%\)%\@=%m',
      \ '%-G%.%#',
      \ ]
execute 'CompilerSet errorformat=' . escape(join(s:efm, ','), ' \|"')
unlet s:efm s:note s:lexer_note

let &cpo = s:cpo_save
unlet s:cpo_save
