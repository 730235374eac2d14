// The helper never outlives its parent: not when the parent exits, fails, or is ended by SIGTERM or
// SIGINT, during set-up or during capture. A parent ended by a signal still dies of that signal, and a
// parent with a signal listener of its own keeps control of it.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { fileURLToPath } from 'node:url';
import { after, describe, it } from 'node:test';

import { HELPER, WAIT_MS, gone, killQuietly, simEnv } from './support.js';

const PARENT = fileURLToPath(new URL('fixtures/parent.js', import.meta.url));
const helpers = [];
after(() => helpers.forEach(killQuietly));

// Starts the parent; resolves with it and the helper's pid once the parent printed it.
async function startParent(how, when, scenario) {
  const parent = spawn(process.execPath, [PARENT, how, when], {
    stdio: ['ignore', 'pipe', 'pipe'], // stderr unread: a throwing parent's trace is expected
    env: { ...simEnv(scenario), AUDIO_HELPER_PATH: HELPER },
  });
  let out = '';
  parent.stdout.setEncoding('utf8');
  parent.stdout.on('data', (text) => (out += text));
  const exited = once(parent, 'exit');
  while (!out.includes('\n')) {
    await Promise.race([once(parent.stdout, 'data'), exited]);
    if (parent.exitCode !== null || parent.signalCode !== null) break;
  }
  const helper = Number.parseInt(out, 10);
  assert.ok(helper > 0, `the parent printed no helper pid: ${JSON.stringify(out)}`);
  helpers.push(helper);
  return { parent, helper, exited, output: () => out };
}

// The stall keeps the helper in set-up for ten minutes, deaf to the stop it would get from a signal.
const SCENARIOS = { setup: 'stall=initialize:600000', capture: 'source=tone' };

describe('the helper never outlives its parent', () => {
  for (const when of ['setup', 'capture']) {
    for (const [how, signal, expected] of [
      ['exit', null, [3, null]],
      ['throw', null, [1, null]],
      ['wait', 'SIGTERM', [null, 'SIGTERM']],
      ['wait', 'SIGINT', [null, 'SIGINT']],
    ]) {
      it(`${signal ?? how} during ${when}`, { timeout: 2 * WAIT_MS }, async () => {
        const { parent, helper, exited } = await startParent(how, when, SCENARIOS[when]);
        if (signal) parent.kill(signal);
        assert.deepEqual(await exited, expected);
        assert.ok(await gone(helper), `helper ${helper} outlived its parent`);
      });
    }
  }

  it("a parent's own SIGTERM listener decides: here it stops the capture cleanly", { timeout: 2 * WAIT_MS }, async () => {
    const { parent, helper, exited, output } = await startParent('listen', 'capture', SCENARIOS.capture);
    parent.kill('SIGTERM');
    assert.deepEqual(await exited, [0, null]);
    assert.match(output(), /stopped 0\n$/);
    assert.ok(await gone(helper));
  });
});
