// What `npm pack` ships is what a user needs, and the declarations name what the module exports.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import { it } from 'node:test';

import * as api from '../src/index.js';

const root = fileURLToPath(new URL('..', import.meta.url));

function npm() {
  try {
    execFileSync('npm', ['--version'], { stdio: 'ignore' });
    return true;
  } catch {
    return false;
  }
}

it('npm pack ships the sources, the declarations, the example and the README only', { skip: !npm() && 'no npm' }, () => {
  const [pack] = JSON.parse(execFileSync('npm', ['pack', '--dry-run', '--json'], { cwd: root, encoding: 'utf8' }));
  const files = pack.files.map((f) => f.path).sort();
  assert.deepEqual(files, [
    'README.md',
    'examples/record-wav.js',
    'index.d.ts',
    'package.json',
    'src/capture.js',
    'src/diagnostics.js',
    'src/errors.js',
    'src/frames.js',
    'src/helper-path.js',
    'src/index.js',
    'src/lifetime.js',
    'src/status.js',
  ]);
});

it('index.d.ts declares every export, and nothing else', () => {
  const declared = [...readFileSync(new URL('../index.d.ts', import.meta.url), 'utf8').matchAll(
    /^export (?:const|function|class) (\w+)/gm,
  )].map((m) => m[1]);
  assert.deepEqual(declared.sort(), Object.keys(api).sort());
});
