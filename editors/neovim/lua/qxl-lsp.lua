-- qxl-lsp.lua: QXL sources in Neovim's built-in language client.
--
-- Put this folder on 'runtimepath' and, in init.lua:
--
--   require('qxl-lsp').setup()
--   require('qxl-lsp').setup({ cmd = { '/opt/qxl/bin/qxl-lsp' },
--                              options = '-iinclude -e',
--                              client = { on_attach = my_on_attach } })
--
-- Every *.q file gets the filetype qxl, and each QXL buffer is attached to
-- a qxl-lsp started for the buffer's directory (one server per directory,
-- shared by the buffers in it).  `options` are option words of qxl, as
-- the editor gives them to the server in the setting qxl.options;
-- `client` holds more fields of the client's configuration (on_attach,
-- capabilities, on_exit, ...) as vim.lsp.start takes them.

local M = {}

local defaults = {
  cmd = { 'qxl-lsp' },
  options = '',
  client = {},
}

M.config = vim.deepcopy(defaults)

-- The server's settings as it reads them from the initialization options
-- and from workspace/didChangeConfiguration.
local function settings(config)
  return { qxl = { options = config.options } }
end

-- The configuration of the client for the buffer `bufnr`.
function M.client_config(bufnr)
  local name = vim.api.nvim_buf_get_name(bufnr)
  local root = vim.fn.fnamemodify(name, ':p:h')
  return vim.tbl_extend('force', M.config.client, {
    name = 'qxl-lsp',
    cmd = M.config.cmd,
    root_dir = root,
    init_options = settings(M.config),
    settings = settings(M.config),
  })
end

-- Clients started by this file for each directory, for Neovim releases
-- without vim.lsp.start (before 0.8), which reuses them by itself.
local started = {}

-- Attaches the buffer to the directory's server, starting it when needed;
-- gives the client's id (nil when the server cannot be started).
function M.attach(bufnr)
  bufnr = bufnr or vim.api.nvim_get_current_buf()
  local config = M.client_config(bufnr)
  if vim.lsp.start then
    return vim.lsp.start(config, { bufnr = bufnr })
  end
  local id = started[config.root_dir]
  if id == nil or vim.lsp.get_client_by_id(id) == nil then
    id = vim.lsp.start_client(config)
    if id == nil then
      return nil
    end
    started[config.root_dir] = id
  end
  vim.lsp.buf_attach_client(bufnr, id)
  return id
end

function M.setup(config)
  M.config = vim.tbl_deep_extend('force', vim.deepcopy(defaults), config or {})
  local group = vim.api.nvim_create_augroup('qxl-lsp', { clear = true })
  vim.api.nvim_create_autocmd({ 'BufRead', 'BufNewFile' }, {
    group = group,
    pattern = '*.q',
    command = 'set filetype=qxl',
  })
  vim.api.nvim_create_autocmd('FileType', {
    group = group,
    pattern = 'qxl',
    callback = function(args)
      M.attach(args.buf)
    end,
  })
end

return M
