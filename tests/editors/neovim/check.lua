-- Checks the Neovim kit with qxl-lsp, in headless Neovim.
--
-- Run in the folder that lsp_client_test.py prepared: $QXL_NEOVIM_KIT is
-- the kit, $QXL_LSP_SERVER the server, $QXL_TEST_CASES what the editor
-- must show; the failures go to $QXL_TEST_RESULT, which ends with the
-- line "checked N".  Every wait for the server is bounded.

local failures = {}
local count = 0

local function check(what, got, want)
  count = count + 1
  if not vim.deep_equal(got, want) then
    table.insert(failures, string.format('%s: got %s, want %s', what,
                                         vim.inspect(got), vim.inspect(want)))
  end
end

local function failure(text)
  count = count + 1
  table.insert(failures, text)
end

local function write_result()
  local lines = vim.deepcopy(failures)
  table.insert(lines, 'checked ' .. count)
  vim.fn.writefile(lines, os.getenv('QXL_TEST_RESULT'))
end

local function read_json(path)
  return vim.fn.json_decode(table.concat(vim.fn.readfile(path), '\n'))
end

local cases = read_json(os.getenv('QXL_TEST_CASES'))
local server = os.getenv('QXL_LSP_SERVER')

-- What became of the server: set when it exits.
local exited = nil

local function server_state()
  if exited then
    return string.format('qxl-lsp exited with status %d (signal %d)',
                         exited.code, exited.signal)
  end
  return 'qxl-lsp is running but did not answer'
end

local function buffer_clients(buf)
  if vim.lsp.get_clients then
    return vim.lsp.get_clients({ bufnr = buf })
  end
  return vim.tbl_values(vim.lsp.buf_get_clients(buf))
end

-- The text of a hover result: MarkupContent, a MarkedString or a list.
local function hover_text(contents)
  if type(contents) == 'string' then
    return contents
  end
  if type(contents) ~= 'table' then
    return ''
  end
  if contents.value then
    return contents.value
  end
  local parts = {}
  for _, part in ipairs(contents) do
    table.insert(parts, hover_text(part))
  end
  return table.concat(parts, '\n')
end

-- The first location of a definition result: a Location, a list of them
-- or a list of LocationLinks.
local function first_location(result)
  if type(result) ~= 'table' then
    return nil
  end
  if result.uri then
    return result.uri, result.range
  end
  local first = result[1]
  if first == nil then
    return nil
  end
  if first.targetUri then
    return first.targetUri, first.targetSelectionRange or first.targetRange
  end
  return first.uri, first.range
end

local function same_file(a, b)
  return (vim.loop.fs_realpath(a) or a) == (vim.loop.fs_realpath(b) or b)
end

-- One request to the server; its result, or nil after a failure.
local function request(buf, what, method, params)
  local answers, err = vim.lsp.buf_request_sync(buf, method, params,
                                                cases.wait_ms)
  if answers == nil then
    failure(string.format('%s: no answer within %d ms (%s): %s', what,
                          cases.wait_ms, server_state(), tostring(err)))
    return nil
  end
  for _, answer in pairs(answers) do
    if answer.error then
      failure(string.format('%s: error reply %s', what,
                            vim.inspect(answer.error)))
      return nil
    end
    return answer.result
  end
  failure(what .. ': no client answered')
  return nil
end

local function run()
  -- The kit loads and starts the server for QXL buffers.
  vim.opt.runtimepath:prepend(os.getenv('QXL_NEOVIM_KIT'))
  local ok, kit = pcall(require, 'qxl-lsp')
  check('require qxl-lsp', ok, true)
  if not ok then
    table.insert(failures, tostring(kit))
    return
  end
  kit.setup({
    cmd = { server },
    client = {
      on_exit = function(code, signal)
        exited = { code = code, signal = signal }
      end,
    },
  })

  vim.cmd('edit ' .. vim.fn.fnameescape(cases.file))
  local buf = vim.api.nvim_get_current_buf()
  check('filetype of ' .. cases.file, vim.bo[buf].filetype, 'qxl')

  -- A client counts as the buffer's once the server has answered
  -- initialize.
  vim.wait(cases.wait_ms, function()
    return exited ~= nil or #buffer_clients(buf) > 0
  end, 50)
  local clients = buffer_clients(buf)
  local client = clients[1]
  if client == nil then
    failure(string.format('no language client attached to the buffer '
                          .. 'within %d ms (%s)', cases.wait_ms,
                          server_state()))
    return
  end
  check('clients attached to the buffer', #clients, 1)
  check('server command', client.config.cmd, { server })
  check('root directory', same_file(client.config.root_dir,
                                    vim.fn.fnamemodify(cases.file, ':h')),
        true)

  -- The diagnostics: the compiler's messages, at their lines.
  local want = cases.messages
  local arrived = vim.wait(cases.wait_ms, function()
    return exited ~= nil or #vim.diagnostic.get(buf) >= #want
  end, 50)
  local got = vim.diagnostic.get(buf)
  if not arrived or #got < #want then
    failure(string.format('diagnostics: %d of %d within %d ms (%s)', #got,
                          #want, cases.wait_ms, server_state()))
    return
  end
  table.sort(got, function(a, b) return a.lnum < b.lnum end)
  local shown = {}
  for _, d in ipairs(got) do
    table.insert(shown, { line = d.lnum + 1, text = d.message })
  end
  local expected = {}
  for _, m in ipairs(want) do
    table.insert(expected, { line = m.line, text = m.text })
  end
  check('diagnostics (line and text)', shown, expected)
  for _, m in ipairs(want) do
    if m.error then
      for _, d in ipairs(got) do
        if d.lnum + 1 == m.line and d.message == m.text then
          check('severity of "' .. m.text .. '"', d.severity,
                vim.diagnostic.severity.ERROR)
        end
      end
    end
  end

  local document = { uri = vim.uri_from_bufnr(buf) }

  -- Hover on a global: its name and its type as the compiler writes it.
  local hover = request(buf, 'hover', 'textDocument/hover', {
    textDocument = document, position = cases.hover.position })
  if hover ~= nil then
    local text = hover_text(hover.contents)
    check('hover names ' .. cases.hover.name,
          text:find(cases.hover.name, 1, true) ~= nil, true)
    check('hover gives the type "' .. cases.hover.type .. '" (' .. text .. ')',
          text:find(cases.hover.type, 1, true) ~= nil, true)
  end

  -- Definition of a use of the global: its declaration's line.
  local definition = request(buf, 'definition', 'textDocument/definition', {
    textDocument = document, position = cases.definition.position })
  if definition ~= nil then
    local uri, range = first_location(definition)
    check('definition is found', uri ~= nil and range ~= nil, true)
    if uri and range then
      check('definition file', same_file(vim.uri_to_fname(uri), cases.file),
            true)
      check('definition line', range.start.line, cases.definition.line)
    end
  end

  -- The server ends when asked to.
  vim.lsp.stop_client(client.id)
  local stopped = vim.wait(cases.wait_ms, function()
    return exited ~= nil
  end, 50)
  check('server exits after shutdown', stopped, true)
  if stopped then
    check('exit status after shutdown and exit', exited.code, 0)
  end
end

vim.api.nvim_create_autocmd('VimEnter', {
  once = true,
  nested = true,  -- :edit in the checks runs the kit's autocommands
  callback = function()
    local ok, err = pcall(run)
    if not ok then
      failure('error in the checks: ' .. tostring(err))
    end
    write_result()
    vim.cmd('qall!')
  end,
})
