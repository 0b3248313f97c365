" Checks the Vim kit in Ex mode, in the folder that cases.py prepared.
" $QXL_VIM_KIT is the kit, $QXL_TEST_CASES the cases; the failures go to
" $QXL_TEST_RESULT, which ends with the line "checked N".

set nocompatible nomore
let s:failures = []
let s:checks = 0

function s:Expect(what, got, want) abort
  let s:checks += 1
  if a:got !=# a:want
    call add(s:failures, printf('%s: got %s, want %s', a:what,
          \ string(a:got), string(a:want)))
  endif
endfunction

function s:Messages(what, items, want) abort
  call s:Expect(a:what . ': number of entries', len(a:items), len(a:want))
  for i in range(min([len(a:items), len(a:want)]))
    let [file, line, type, text] = a:want[i]
    let e = a:items[i]
    let got = [fnamemodify(bufname(e.bufnr), ':p'), e.lnum, e.type, e.text,
          \ e.valid]
    call s:Expect(printf('%s: entry %d', a:what, i + 1), got,
          \ [fnamemodify(file, ':p'), line, type, text, 1])
  endfor
endfunction

let s:cases = json_decode(join(readfile($QXL_TEST_CASES), "\n"))
execute 'set runtimepath^=' . fnameescape($QXL_VIM_KIT)
filetype plugin on
syntax on

" The compiler plugin on the real outputs.
try
  compiler qxl
  call s:Expect('makeprg', &l:makeprg, 'qxl $* %:S')
  for s:run in s:cases.runs
    execute 'cgetfile' fnameescape(s:run.output)
    call s:Messages(s:run.name, getqflist(), s:run.messages)
  endfor
catch
  call add(s:failures, 'compiler: ' . v:exception)
endtry

" Detection, the filetype plugin and highlighting.
let s:names = {
      \ 'statement': ['qxlStatement'], 'type': ['qxlType'],
      \ 'storage': ['qxlStorageClass'], 'construct': ['qxlConstruct'],
      \ 'builtin-type': ['qxlBuiltinType'], 'predefined': ['qxlPredefined'],
      \ 'primitive': ['qxlPrimitive'], 'variable': ['qxlBuiltinVar'],
      \ 'plain': [''], 'string': ['qxlString'], 'char': ['qxlCharacter'],
      \ 'escape': ['qxlEscape'], 'number': ['qxlNumber'],
      \ 'comment': ['qxlComment', 'qxlLineComment'], 'todo': ['qxlTodo'],
      \ 'include': ['qxlInclude'], 'include-file': ['qxlIncluded'],
      \ 'define': ['qxlDefine'], 'conditional': ['qxlPreCondit'],
      \ 'unknown-directive': ['qxlUnknownDirective'],
      \ }
for s:file in uniq(sort(map(copy(s:cases.highlights), 'v:val.file')))
  try
    let v:errmsg = ''
    execute 'edit' fnameescape(s:file)
    call s:Expect(s:file . ': filetype', &filetype, 'qxl')
    call s:Expect(s:file . ': syntax', b:current_syntax, 'qxl')
    call s:Expect(s:file . ': errors while loading', v:errmsg, '')
    call s:Expect(s:file . ': cindent', &l:cindent, 1)
    call s:Expect(s:file . ': commentstring', &l:commentstring, '/* %s */')
    for s:h in filter(copy(s:cases.highlights), 'v:val.file ==# s:file')
      let s:group = synIDattr(synID(s:h.line, s:h.column, 1), 'name')
      let s:checks += 1
      if index(s:names[s:h.kind], s:group) < 0
        call add(s:failures, printf('%s %d:%d %s: group %s, want %s',
              \ s:file, s:h.line, s:h.column, s:h.word, string(s:group),
              \ join(s:names[s:h.kind], ' or ')))
      endif
    endfor
  catch
    call add(s:failures, s:file . ': ' . v:exception)
  endtry
endfor

" :make with the plugin's 'makeprg', on a file whose name has a blank,
" with an option before the file name.
try
  execute 'edit' fnameescape(s:cases.make.file)
  silent make -v
  call s:Messages(':make -v', getqflist(), s:cases.make.messages)
catch
  call add(s:failures, ':make: ' . v:exception)
endtry

call writefile(s:failures + ['checked ' . s:checks], $QXL_TEST_RESULT)
if empty(s:failures)
  qall!
endif
cquit!
