// The QXL extension's language client: starts qxl-lsp for QXL documents
// through the npm package vscode-languageclient, and offers the server's
// bytecode listing as a command.  Without that package (a kit copied
// without running npm), highlighting and the problem matchers still work
// and a message says how to get the client.
'use strict';

const vscode = require('vscode');

const section = 'qxl';
let client = null;

// The server's settings as it reads them, from the initialization options
// and from workspace/didChangeConfiguration.
function settings(config) {
  return { options: config.get('options', '') };
}

function loadClientLibrary() {
  try {
    return require('vscode-languageclient/node');
  } catch (e) {
    if (e && e.code === 'MODULE_NOT_FOUND') return null;
    throw e;
  }
}

// The text of a qxl/disassemble answer: the listing, as a string or in
// the field `listing` or `text` of an object.
function listingText(answer) {
  if (typeof answer === 'string') return answer;
  if (answer && typeof answer.listing === 'string') return answer.listing;
  if (answer && typeof answer.text === 'string') return answer.text;
  return JSON.stringify(answer, null, 2);
}

async function showBytecode() {
  const editor = vscode.window.activeTextEditor;
  if (!client || !editor || editor.document.languageId !== 'qxl') return;
  const answer = await client.sendRequest('qxl/disassemble', {
    textDocument: { uri: editor.document.uri.toString() },
    position: { line: editor.selection.active.line,
                character: editor.selection.active.character },
  });
  const listing = await vscode.workspace.openTextDocument({
    content: listingText(answer), language: 'plaintext' });
  await vscode.window.showTextDocument(listing, { preview: true,
                                                  viewColumn: vscode.ViewColumn.Beside });
}

async function activate(context) {
  const library = loadClientLibrary();
  if (!library) {
    vscode.window.showWarningMessage(
      'QXL: the language server needs the npm package vscode-languageclient; ' +
      `run "npm ci --omit=dev" in ${context.extensionPath}`);
    return;
  }
  const config = vscode.workspace.getConfiguration(section);
  const serverOptions = {
    command: config.get('server.path', 'qxl-lsp') || 'qxl-lsp',
    args: [],
    transport: library.TransportKind.stdio,
  };
  const clientOptions = {
    documentSelector: [{ scheme: 'file', language: 'qxl' },
                       { scheme: 'untitled', language: 'qxl' }],
    initializationOptions: { qxl: settings(config) },
    synchronize: { configurationSection: section },
  };
  client = new library.LanguageClient('qxl-lsp', 'QXL language server',
                                      serverOptions, clientOptions);
  context.subscriptions.push(
    vscode.commands.registerCommand('qxl.showBytecode', showBytecode));
  await client.start();
}

async function deactivate() {
  if (!client) return;
  const running = client;
  client = null;
  await running.stop();
}

module.exports = { activate, deactivate };
