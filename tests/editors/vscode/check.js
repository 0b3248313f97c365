// Checks the VS Code kit in the folder that cases.py prepared: the
// grammar with the real TextMate engine, the problem matchers on the real
// outputs of qxl, and the language client's start of qxl-lsp (with the
// editor's API and the client library stood in for).  $QXL_VSCODE_KIT is the kit, $QXL_TEST_CASES the cases;
// the failures go to $QXL_TEST_RESULT, which ends with "checked N".
'use strict';

const fs = require('fs');
const Module = require('module');
const path = require('path');
const vsctm = require('vscode-textmate');
const oniguruma = require('vscode-oniguruma');

const kit = process.env.QXL_VSCODE_KIT;
const cases = JSON.parse(fs.readFileSync(process.env.QXL_TEST_CASES, 'utf8'));
const failures = [];
let checks = 0;

function expect(what, got, want) {
  checks++;
  if (JSON.stringify(got) !== JSON.stringify(want))
    failures.push(`${what}: got ${JSON.stringify(got)}, want ${JSON.stringify(want)}`);
}

function readJson(relative) {
  return JSON.parse(fs.readFileSync(path.join(kit, relative), 'utf8'));
}

// ---- The manifest and the language configuration ----------------------

const manifest = readJson('package.json');
const contributes = manifest.contributes;
const language = contributes.languages.find((l) => l.id === 'qxl');
expect('language qxl: extensions', language && language.extensions, ['.q']);
const config = readJson(language.configuration);
expect('line comment', config.comments.lineComment, '//');
expect('block comment', config.comments.blockComment, ['/*', '*/']);
expect('brackets', config.brackets, [['{', '}'], ['[', ']'], ['(', ')']]);
const grammarEntry = contributes.grammars.find((g) => g.language === 'qxl');
expect('grammar scope', grammarEntry.scopeName, 'source.qxl');

// ---- Problem matchers --------------------------------------------------

const severities = { E: 'error', W: 'warning', I: 'info' };
const matchers = contributes.problemMatchers;
expect('problem matcher names', matchers.map((m) => m.name),
       ['qxl', 'qxl-note', 'qxl-file']);

// What the matchers make of one line: null, or [file, line, severity,
// message] as VS Code would take them.
function problem(line, lineNumber, run) {
  const found = [];
  for (const matcher of matchers) {
    const p = matcher.pattern;
    const m = new RegExp(p.regexp).exec(line);
    if (!m) continue;
    let severity = matcher.severity;
    if (p.severity && m[p.severity]) severity = m[p.severity].toLowerCase();
    found.push([path.resolve(m[p.file]),
                p.kind === 'file' ? 0 : Number(m[p.line]),
                severity, m[p.message]]);
  }
  if (found.length > 1)
    failures.push(`${run} line ${lineNumber}: ${found.length} matchers match ${JSON.stringify(line)}`);
  return found.length ? found[0] : null;
}

for (const run of cases.runs) {
  const lines = fs.readFileSync(run.output, 'latin1').split('\n');
  const got = [];
  lines.forEach((line, i) => {
    const p = problem(line, i + 1, run.name);
    if (p) got.push(p);
  });
  const want = run.messages.map(([file, line, type, text]) =>
    [path.resolve(file), line, severities[type], text]);
  expect(`${run.name}: number of problems`, got.length, want.length);
  for (let i = 0; i < Math.min(got.length, want.length); i++)
    expect(`${run.name}: problem ${i + 1}`, got[i], want[i]);
}

// ---- The language client -----------------------------------------------

expect('activation', manifest.activationEvents, ['onLanguage:qxl']);
expect('client library', Object.keys(manifest.dependencies || {}),
       ['vscode-languageclient']);
const properties = (contributes.configuration || {}).properties || {};
expect('settings', Object.keys(properties).sort(),
       ['qxl.options', 'qxl.server.path']);
expect('default server', (properties['qxl.server.path'] || {}).default,
       'qxl-lsp');
expect('commands', (contributes.commands || []).map((c) => c.command),
       ['qxl.showBytecode']);

// The editor's API as far as the extension uses it: settings are the
// manifest's defaults with `settings` over them; what the extension shows
// is recorded in `seen`.
function fakeEditor(settings, seen) {
  const value = (key) => (key in settings ? settings[key]
                          : (properties[key] || {}).default);
  return {
    workspace: {
      getConfiguration: (section) => ({
        get: (key, fallback) => {
          const v = value(`${section}.${key}`);
          return v === undefined ? fallback : v;
        },
      }),
      openTextDocument: async (options) => { seen.documents.push(options); return options; },
    },
    window: {
      showWarningMessage: (text) => { seen.warnings.push(text); },
      showTextDocument: async () => {},
      activeTextEditor: {
        document: { languageId: 'qxl', uri: { toString: () => 'file:///w/a.q' } },
        selection: { active: { line: 3, character: 7 } },
      },
    },
    commands: {
      registerCommand: (name, run) => { seen.commands[name] = run; return { dispose() {} }; },
    },
    ViewColumn: { Beside: -2 },
  };
}

// The client library: records the client made and what it is asked.
function fakeLibrary(seen) {
  class LanguageClient {
    constructor(id, name, server, options) { seen.client = { id, server, options }; }
    async start() { seen.started = true; }
    async stop() { seen.stopped = true; }
    async sendRequest(method, params) {
      seen.requests.push([method, params]);
      return { listing: 'the listing' };
    }
  }
  return { LanguageClient, TransportKind: { stdio: 0, ipc: 1 } };
}

// Activates a fresh copy of the extension with the stand-ins; `library`
// null makes the client library missing.
async function activated(settings, library) {
  const seen = { documents: [], warnings: [], commands: {}, requests: [] };
  const stubs = { vscode: fakeEditor(settings, seen),
                  'vscode-languageclient/node': library && library(seen) };
  const load = Module._load;
  Module._load = function (request, ...rest) {
    if (request in stubs) {
      if (stubs[request]) return stubs[request];
      const e = new Error(`Cannot find module '${request}'`);
      e.code = 'MODULE_NOT_FOUND';
      throw e;
    }
    return load.call(this, request, ...rest);
  };
  try {
    const file = require.resolve(path.join(kit, manifest.main));
    delete require.cache[file];
    const extension = require(file);
    await extension.activate({ subscriptions: [], extensionPath: kit });
    seen.extension = extension;
    return seen;
  } finally {
    Module._load = load;
  }
}

async function checkClient() {
  let seen = await activated({}, fakeLibrary);
  expect('server command', seen.client && seen.client.server,
         { command: 'qxl-lsp', args: [], transport: 0 });
  const options = (seen.client || {}).options || {};
  expect('documents served', options.documentSelector,
         [{ scheme: 'file', language: 'qxl' }, { scheme: 'untitled', language: 'qxl' }]);
  expect('initialization options', options.initializationOptions,
         { qxl: { options: '' } });
  expect('settings sent on change', options.synchronize,
         { configurationSection: 'qxl' });
  expect('client started', seen.started, true);

  const show = seen.commands['qxl.showBytecode'];
  expect('bytecode command registered', typeof show, 'function');
  if (show) {
    await show();
    expect('bytecode request', seen.requests,
           [['qxl/disassemble', { textDocument: { uri: 'file:///w/a.q' },
                                  position: { line: 3, character: 7 } }]]);
    expect('bytecode shown', seen.documents.map((d) => d.content), ['the listing']);
  }
  await seen.extension.deactivate();
  expect('client stopped', seen.stopped, true);

  seen = await activated({ 'qxl.server.path': '/opt/q/qxl-lsp',
                           'qxl.options': '-iinclude -e' }, fakeLibrary);
  expect('configured server', seen.client && seen.client.server.command,
         '/opt/q/qxl-lsp');
  expect('configured options', seen.client && seen.client.options.initializationOptions,
         { qxl: { options: '-iinclude -e' } });

  // Without the client library: no client, a message that names it.
  seen = await activated({}, null);
  expect('no client without the library', seen.client, undefined);
  expect('message about the library',
         seen.warnings.map((w) => w.includes('vscode-languageclient')), [true]);
}

// ---- The grammar -------------------------------------------------------

// The innermost scope (punctuation aside) must begin with this.
const scopes = {
  statement: 'keyword.control.qxl', type: 'storage.type.qxl',
  storage: 'storage.modifier.qxl', construct: 'keyword.other.qxl',
  'builtin-type': 'support.type.builtin.qxl',
  predefined: 'constant.language.predefined.qxl',
  primitive: 'support.function.builtin.qxl',
  variable: 'support.variable.builtin.qxl', plain: 'source.qxl',
  string: 'string.quoted.double.qxl', char: 'string.quoted.single.qxl',
  escape: 'constant.character.escape.qxl', number: 'constant.numeric.',
  comment: 'comment.', todo: 'keyword.other.todo.qxl',
  include: 'keyword.control.directive.include.qxl',
  'include-file': 'string.quoted.', define: 'keyword.control.directive.define.qxl',
  conditional: 'keyword.control.directive.conditional.qxl',
  'unknown-directive': 'invalid.illegal.unknown-directive.qxl',
};

async function tokenizeFiles() {
  const wasm = fs.readFileSync(path.join(path.dirname(require.resolve('vscode-oniguruma')), 'onig.wasm'));
  await oniguruma.loadWASM(wasm.buffer.slice(wasm.byteOffset, wasm.byteOffset + wasm.byteLength));
  const grammarPath = path.join(kit, grammarEntry.path);
  const registry = new vsctm.Registry({
    onigLib: Promise.resolve({
      createOnigScanner: (patterns) => new oniguruma.OnigScanner(patterns),
      createOnigString: (text) => new oniguruma.OnigString(text),
    }),
    loadGrammar: async (scopeName) => scopeName === 'source.qxl'
      ? vsctm.parseRawGrammar(fs.readFileSync(grammarPath, 'utf8'), grammarPath)
      : null,
  });
  const grammar = await registry.loadGrammar('source.qxl');

  const files = [...new Set(cases.highlights.map((h) => h.file))];
  for (const file of files) {
    const lines = fs.readFileSync(file, 'utf8').split('\n');
    let stack = vsctm.INITIAL;
    const tokens = lines.map((line) => {
      const r = grammar.tokenizeLine(line, stack);
      stack = r.ruleStack;
      return r.tokens;
    });
    for (const h of cases.highlights.filter((x) => x.file === file)) {
      const index = h.column - 1;
      const token = tokens[h.line - 1].find((t) => t.startIndex <= index && index < t.endIndex);
      const inner = token ? token.scopes.filter((s) => !s.startsWith('punctuation.')).pop() : '(none)';
      checks++;
      if (!inner.startsWith(scopes[h.kind]))
        failures.push(`${file} ${h.line}:${h.column} ${h.word}: scopes ${token && token.scopes.join(' ')}, want ${scopes[h.kind]}`);
    }
  }
}

checkClient()
  .catch((e) => failures.push(`language client: ${e.stack || e}`))
  .then(() => tokenizeFiles())
  .catch((e) => failures.push(`grammar: ${e.stack || e}`))
  .finally(() => {
    fs.writeFileSync(process.env.QXL_TEST_RESULT, failures.concat([`checked ${checks}`]).join('\n') + '\n');
    process.exitCode = failures.length ? 1 : 0;
  });
