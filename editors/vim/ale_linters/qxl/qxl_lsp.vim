" qxl-lsp, the language server of QXL, as a linter of ALE's: the
" compiler's own diagnostics as you type, and ALE's hover, go-to-definition,
" references and completion from the same server.
"
" With the kit in 'runtimepath' and ALE installed:
"   let g:ale_linters = {'qxl': ['qxl-lsp']}
" Options:
"   g:ale_qxl_qxl_lsp_executable  the server (default 'qxl-lsp')
"   g:ale_qxl_qxl_lsp_options     words for the compiler, as in QXL

call ale#Set('qxl_qxl_lsp_executable', 'qxl-lsp')
call ale#Set('qxl_qxl_lsp_options', '')

function! ale_linters#qxl#qxl_lsp#Options(buffer) abort
    return {'qxl': {'options': ale#Var(a:buffer, 'qxl_qxl_lsp_options')}}
endfunction

call ale#linter#Define('qxl', {
\   'name': 'qxl-lsp',
\   'lsp': 'stdio',
\   'executable': {buffer -> ale#Var(buffer, 'qxl_qxl_lsp_executable')},
\   'command': '%e',
\   'project_root': {buffer -> fnamemodify(bufname(buffer), ':p:h')},
\   'initialization_options': function('ale_linters#qxl#qxl_lsp#Options'),
\   'lsp_config': function('ale_linters#qxl#qxl_lsp#Options'),
\})
