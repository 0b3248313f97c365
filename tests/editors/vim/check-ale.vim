" Checks the Vim kit's ALE linter with qxl-lsp, in Vim in Ex mode.
"
" Run in the folder that lsp_client_test.py prepared: $QXL_VIM_KIT is the
" kit, $QXL_VIM_ALE ALE's own folder, $QXL_LSP_SERVER the server and
" $QXL_TEST_CASES what the editor must show; the failures go to
" $QXL_TEST_RESULT, which ends with the line "checked N".  Every wait for
" the server is bounded.

let s:failures = []
let s:count = 0

function! s:Check(what, got, want) abort
    let s:count += 1
    if a:got !=# a:want
        call add(s:failures, printf('%s: got %s, want %s', a:what,
                    \ string(a:got), string(a:want)))
    endif
endfunction

function! s:WriteResult() abort
    call writefile(s:failures + ['checked ' . s:count], $QXL_TEST_RESULT)
endfunction

let s:cases = json_decode(join(readfile($QXL_TEST_CASES), "\n"))

execute 'set runtimepath^=' . fnameescape($QXL_VIM_ALE)
execute 'set runtimepath^=' . fnameescape($QXL_VIM_KIT)
filetype plugin on
let g:ale_linters = {'qxl': ['qxl-lsp']}
let g:ale_linters_explicit = 1
let g:ale_qxl_qxl_lsp_executable = $QXL_LSP_SERVER
let g:ale_lint_on_enter = 1
let g:ale_set_loclist = 1
let g:ale_echo_cursor = 0
runtime plugin/ale.vim

execute 'edit ' . fnameescape(s:cases.file)
call s:Check('filetype', &filetype, 'qxl')

" ALE's list of the buffer's problems, once it has as many as the
" compile gave.
let s:want = len(s:cases.messages)
let s:waited = 0
while s:waited < s:cases.wait_ms
    let s:got = ale#engine#GetLoclist(bufnr(''))
    if len(s:got) >= s:want
        break
    endif
    sleep 50m
    let s:waited += 50
endwhile

let s:got = ale#engine#GetLoclist(bufnr(''))
call s:Check('number of problems', len(s:got), s:want)
for s:i in range(min([len(s:got), s:want]))
    let s:message = s:cases.messages[s:i]
    let s:item = get(filter(copy(s:got), 'v:val.lnum == s:message.line'), 0, {})
    call s:Check('problem on line ' . s:message.line, get(s:item, 'text', ''),
                \ s:message.text)
    " ALE lists what is not an error as a warning, notes too.
    call s:Check('kind of the problem on line ' . s:message.line,
                \ get(s:item, 'type', ''), s:message.error ? 'E' : 'W')
endfor

call s:WriteResult()
qall!
