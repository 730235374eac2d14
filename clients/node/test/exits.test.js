// Every exit code of the helper reaches the caller as one HelperError: `started` rejects with it, the
// stream errors with it, and it carries the code, the failed stage, the printed status and the lines.
import assert from 'node:assert/strict';
import { finished } from 'node:stream/promises';
import { fileURLToPath } from 'node:url';
import { describe, it } from 'node:test';

import { HelperError, startCapture } from '../src/index.js';
import { HELPER, capture, simEnv } from './support.js';

const PID = 31337;
const BOUNDED = { timeout: 120000 }; // a promise that never settles fails the test instead of hanging it
const OK = [1, 3, 5, 7, 9, 12];

// [scenario, exit code, stage, failure line, status, the lines before it, header bytes on stdout]
const CASES = [
  ['coinit=0x80004005', 2, 'coinit', 4, 0x80004005, [1, 3]],
  ['activate=0x80070005', 3, 'activate', 6, 0x80070005, [1, 3, 5]],
  ['result=0x80004002', 4, 'activation', 10, 0x80004002, [1, 3, 5, 7, 9]],
  ['noclient', 4, 'activation', 10, 0, [1, 3, 5, 7, 9]],
  ['initialize=0x88890008', 5, 'initialize', 11, 0x88890008, [1, 3, 5, 7, 9]],
  ['service=0x8007000e', 6, 'service', 13, 0x8007000e, OK],
  ['start=0x88890004', 7, 'start', 14, 0x88890004, OK],
  ['delay=never', 8, 'activation-timeout', 8, null, [1, 3, 5, 7]],
];

const FAKE = fileURLToPath(new URL('fixtures/fake-helper.sh', import.meta.url));
const fake = (how) => startCapture({ helperPath: FAKE, env: { ...process.env, FAKE_HELPER: how } });

describe('exit codes', () => {
  for (const [scenario, exitCode, stage, line, status, before] of CASES) {
    it(`${exitCode}: ${scenario}`, BOUNDED, async () => {
      const cap = capture(scenario, { excludePid: PID });
      const seen = [];
      cap.on('stage', (s) => seen.push(s.line));
      const streamError = new Promise((resolve) => cap.once('error', resolve));
      cap.resume();
      const error = await cap.started.then(() => assert.fail('started'), (e) => e);
      assert.ok(error instanceof HelperError, error.stack);
      assert.equal(error.code, 'HELPER_EXIT');
      assert.equal(error.exitCode, exitCode);
      assert.equal(error.stage, stage);
      assert.equal(error.line, line);
      assert.equal(error.status, status);
      assert.deepEqual(seen, [...before, line]);
      assert.deepEqual(error.lines, error.stages.map((s) => s.text));
      assert.equal(error.stages[1].pid, PID);
      assert.equal(await streamError, error);
      const end = await cap.ended;
      assert.deepEqual([end.exitCode, end.frames, end.forced, end.error], [exitCode, 0, false, error]);
    });
  }

  it('a failure handled through `started` alone takes nothing down', BOUNDED, async () => {
    const cap = capture('initialize=0x88890008'); // nobody reads the stream or listens for its errors
    await assert.rejects(cap.started, { code: 'HELPER_EXIT', exitCode: 5 });
    assert.equal((await cap.ended).exitCode, 5);
    await new Promise((resolve) => setImmediate(resolve)); // an 'error' event would have fired by now
  });

  it('1: no argument', BOUNDED, async () => {
    const cap = startCapture({
      helperPath: fileURLToPath(new URL('fixtures/no-argument.sh', import.meta.url)),
      env: { ...simEnv(''), REAL_HELPER: HELPER },
    });
    const error = await cap.started.catch((e) => e);
    assert.deepEqual([error.exitCode, error.stage, error.line], [1, 'usage', 2]);
    assert.equal(error.stages[0].argc, 1);
    assert.equal(error.stages[1].program, HELPER);
  });

  it('an exit code the helper does not define still fails, with what it printed', BOUNDED, async () => {
    const error = await capture('no_such_item').started.catch((e) => e);
    assert.deepEqual([error.code, error.exitCode, error.stage], ['HELPER_EXIT', 125, null]);
    assert.match(error.message, /no_such_item/);
  });

  it('a helper that cannot be started', BOUNDED, async () => {
    const cap = startCapture({ helperPath: '/nonexistent/audio-helper' });
    const error = await cap.started.catch((e) => e);
    assert.ok(error instanceof HelperError);
    assert.equal(error.code, 'HELPER_SPAWN');
    assert.equal(error.cause.code, 'ENOENT');
    assert.equal((await cap.ended).error, error);
  });

  it('a header that is not the expected one names the bad field and ends the helper', BOUNDED, async () => {
    const cap = fake('bad-header');
    const error = await cap.started.catch((e) => e);
    assert.ok(error instanceof HelperError);
    assert.deepEqual([error.code, error.field, error.expected, error.actual], ['HELPER_BAD_HEADER', 'channels', 2, 1]);
    assert.match(error.message, /channels/);
    const end = await cap.ended;
    assert.deepEqual([end.forced, end.frames, end.error], [true, 0, error]);
  });

  it('a stream cut inside a frame gives the whole frames and drops the rest', BOUNDED, async () => {
    const cap = fake('cut');
    const chunks = [];
    cap.on('data', (samples) => chunks.push(...samples));
    await cap.started;
    await finished(cap);
    const end = await cap.ended;
    assert.deepEqual(chunks, [1, -1, 0.5, -0.5]);
    assert.deepEqual([end.exitCode, end.frames, end.droppedBytes, end.error], [0, 2, 4, null]);
  });

  it('a process id that is not one is refused before anything starts', BOUNDED, () => {
    for (const pid of [-1, 1.5, '42', 2 ** 32]) {
      assert.throws(() => startCapture({ helperPath: HELPER, excludePid: pid }), TypeError);
    }
  });

  it('options the helper does not take are refused before anything starts', BOUNDED, () => {
    // [options, error]
    const cases = [
      [{ include: 'yes' }, TypeError],
      [{ pids: 4243 }, TypeError],
      [{ pids: [0] }, TypeError],
      [{ pids: [4243, -1] }, TypeError],
      [{ rate: 44000 }, RangeError],
      [{ rate: '16000' }, RangeError],
      [{ channels: 0 }, RangeError],
      [{ channels: 3 }, RangeError],
    ];
    for (const [options, error] of cases) {
      assert.throws(() => startCapture({ helperPath: '/nonexistent/helper', ...options }), error, JSON.stringify(options));
    }
  });
});
