// PowerShell that cannot run here, parsed with tree-sitter-powershell's grammar
// (its WebAssembly build, through web-tree-sitter: nothing to compile): each .ps1
// file given, and each ```powershell block of each .md file given. Prints each
// syntax error with its file and line, and exits 1 if there is one. With
// --mutants FILE, first shows that the grammar finds a missing brace, a stray
// quote and a missing bracket in FILE, as a check that it can fail.
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import v8 from 'node:v8';
import { Language, Parser } from 'web-tree-sitter';

// V8's optimising compiler takes seconds over the grammar's WebAssembly; its
// baseline compiler, a fraction of one, and parsing a few scripts needs no more.
v8.setFlagsFromString('--liftoff-only');
const here = path.dirname(fileURLToPath(import.meta.url));
await Parser.init();
const parser = new Parser();
parser.setLanguage(await Language.load(
  path.join(here, 'node_modules', 'tree-sitter-powershell', 'tree-sitter-powershell.wasm')));

// The first line of a text that the grammar cannot parse (0-based), or -1.
function errorLine(code) {
  let node = parser.parse(code).rootNode;
  if (!node.hasError) return -1;
  for (;;) {
    const next = node.children.find((child) => child.hasError || child.isMissing);
    if (!next || next.type === 'ERROR' || next.isMissing) return (next || node).startPosition.row;
    node = next;
  }
}

const args = process.argv.slice(2);
let failed = 0;
if (args[0] === '--mutants') {
  const text = fs.readFileSync(args[1], 'utf8');
  const mutants = {
    'a missing brace': text.replace('{ $current += $product }', '{ $current += $product '),
    'a stray quote': text.replace("'RelatedProducts'", "'RelatedProducts"),
    'a missing bracket': text.replace('[version]$version', '[version$version'),
  };
  for (const [what, code] of Object.entries(mutants)) {
    if (code === text || errorLine(code) < 0) {
      console.log(`${args[1]} with ${what}: ${code === text ? 'the mutation does not apply' : 'not found'}`);
      failed++;
    }
  }
  args.splice(0, 2);
}
let parsed = 0;
for (const file of args) {
  const text = fs.readFileSync(file, 'utf8');
  const pieces = !file.endsWith('.md') ? [[text, 0]] : [...text.matchAll(/^ *```powershell\n([\s\S]*?)^ *```$/gm)]
    .map((m) => [m[1], text.slice(0, m.index).split('\n').length]);
  for (const [code, first] of pieces) {
    parsed++;
    const line = errorLine(code);
    if (line >= 0) {
      console.log(`${file}:${first + line + 1}: syntax error: ${JSON.stringify(code.split('\n')[line].trim())}`);
      failed++;
    }
  }
}
console.log(`${parsed} PowerShell texts parsed: ${failed ? `${failed} failed` : "no syntax error"}`);
process.exit(failed ? 1 : 0);
