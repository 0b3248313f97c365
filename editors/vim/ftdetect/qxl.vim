" QXL sources end in .q.  Vim's own detection may give .q files to another
" language; with this kit on 'runtimepath' they are QXL.
autocmd BufNewFile,BufRead *.q set filetype=qxl
