// The example in the package runs, and its WAV holds exactly the audio the helper sent.
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { mkdtemp, readFile, rm } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';
import { it } from 'node:test';

import { HELPER, RampChecker, simEnv } from './support.js';

const EXAMPLE = fileURLToPath(new URL('../examples/record-wav.js', import.meta.url));

it('examples/record-wav.js writes the captured audio to a float WAV and prints levels', async (t) => {
  const dir = await mkdtemp(join(tmpdir(), 'record-wav-'));
  t.after(() => rm(dir, { recursive: true, force: true }));
  const wav = join(dir, 'out.wav');
  const { stdout, stderr } = await promisify(execFile)(process.execPath, [EXAMPLE, wav, '2.5'], {
    env: { ...simEnv('source=ramp,period=0'), AUDIO_HELPER_PATH: HELPER },
    timeout: 60000,
  });
  assert.equal(stdout, '1 s: peak 47999.000\n2 s: peak 95999.000\n');
  assert.match(stderr, /helper: \[helper\] Rogzites elindult/);
  assert.match(stderr, /120000 frames written .* exit code 0/);

  const bytes = await readFile(wav);
  assert.equal(bytes.toString('latin1', 0, 4), 'RIFF');
  assert.equal(bytes.readUInt32LE(4), bytes.length - 8);
  assert.deepEqual(
    [20, 22, 24, 28, 32, 34].map((at) => (at === 24 || at === 28 ? bytes.readUInt32LE(at) : bytes.readUInt16LE(at))),
    [3, 2, 48000, 384000, 8, 32],
  );
  assert.equal(bytes.readUInt32LE(46), 120000); // fact: frames
  assert.equal(bytes.toString('latin1', 50, 54), 'data');
  assert.equal(bytes.readUInt32LE(54), 120000 * 8);
  const samples = new Float32Array(bytes.buffer.slice(bytes.byteOffset + 58, bytes.byteOffset + bytes.length));
  const checker = new RampChecker();
  assert.equal(checker.check(samples), null);
  assert.equal(checker.frame, 120000);
});
