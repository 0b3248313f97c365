" Vim filetype plugin
" Language:	QXL, the extension language of the Quillet text editor

if exists("b:did_ftplugin")
  finish
endif
let b:did_ftplugin = 1

let s:cpo_save = &cpo
set cpo&vim

" Comments, formatting and indentation as in C.
setlocal comments=sO:*\ -,mO:*\ \ ,exO:*/,s1:/*,mb:*,ex:*/,://
setlocal commentstring=/*\ %s\ */
setlocal formatoptions-=t formatoptions+=croql
setlocal cindent
" [i, [d and gf follow #include, #tryinclude and #define.
setlocal include=^#\\%(try\\)\\=include
setlocal define=^#define
setlocal suffixesadd=.q,.h

compiler qxl

let b:undo_ftplugin = "setlocal comments< commentstring< formatoptions<"
      \ . " cindent< include< define< suffixesadd< makeprg< errorformat<"

let &cpo = s:cpo_save
unlet s:cpo_save
