// Capturing through the package from the simulated engine: the stream is frame-exact for every packet
// pattern, a slow consumer holds the helper back only through the pipe, and stop, abort and a consumer
// that gives up all end the helper, during set-up and during capture.
import assert from 'node:assert/strict';
import { once } from 'node:events';
import { describe, it } from 'node:test';

import { HelperError } from '../src/index.js';
import { RampChecker, WAIT_MS, alive, capture, gone, readRamp } from './support.js';

const PID = 4242;
const SETUP_LINES = [1, 3, 5, 7, 9, 12, 15];
const BOUNDED = { timeout: 4 * WAIT_MS }; // a helper left running fails the test instead of hanging it

// Resolves once the helper has printed catalogue line `line` (lines often come several to an event).
function stageLine(cap, line) {
  if (cap.stages.some((s) => s.line === line)) return Promise.resolve();
  return new Promise((resolve) => {
    const listener = (stage) => {
      if (stage.line !== line) return;
      cap.off('stage', listener);
      resolve();
    };
    cap.on('stage', listener);
  });
}

describe('stream', () => {
  // [name, scenario, frames in all, checker options]
  const cases = [
    ['plain', 'source=ramp,frames=480,packets=200', 96000, {}],
    ['odd packet size', 'source=ramp,frames=7,packets=3000', 21000, { frames: 7 }],
    ['single frames in bursts', 'source=ramp,frames=1,packets=2000,burst=5', 2000, { frames: 1 }],
    [
      'bursts, silent packets and an empty packet',
      'source=ramp,frames=480,packets=300,burst=3,silent_every=4,zero_packet_at=10',
      299 * 480,
      { silentEvery: 4, zeroPacketAt: 10 },
    ],
    ['silence', 'source=silence,frames=480,packets=50', 50 * 480, { silentEvery: 1 }],
    ['a ramp past 2^24 frames wraps', 'source=ramp,frames=48000,packets=360', 360 * 48000, { frames: 48000 }],
  ];
  for (const [name, scenario, frames, options] of cases) {
    it(name, BOUNDED, async () => {
      const cap = capture(`period=0,${scenario}`, { excludePid: PID });
      const seen = [];
      cap.on('stage', (s) => seen.push(s));
      const { end, counted } = await readRamp(cap, frames, new RampChecker(options));
      await cap.started;
      assert.deepEqual(seen.map((s) => s.line), SETUP_LINES);
      assert.deepEqual([seen[0].argc, seen[1].pid, seen[4].status], [5, PID, 0]); // the pid, the status channel, the stdin stop
      assert.deepEqual(
        [end.exitCode, end.stopped, end.forced, end.error, end.frames, counted, end.droppedBytes],
        [0, true, false, null, frames, frames, 0],
      );
    });
  }
});

describe('formats', () => {
  // [rate, channels, the helper's argc]: the header, the frames and the seconds follow the format asked
  // for; an option left at its default is not passed (the status channel and the stdin stop always are).
  for (const [rate, channels, argc] of [
    [16000, 1, 9],
    [44100, 2, 7],
  ]) {
    it(`${rate} Hz, ${channels} channel(s)`, BOUNDED, async () => {
      const cap = capture('source=ramp,period=0,packets=100', { excludePid: PID, rate, channels });
      const frames = rate; // the engine's 10 ms packets: a second in all
      const samples = [];
      for await (const chunk of cap) {
        samples.push(...chunk);
        if (samples.length >= frames * channels) cap.stop({ timeoutMs: WAIT_MS });
      }
      const end = await cap.ended;
      assert.deepEqual(cap.format, { sampleRate: rate, channels });
      assert.deepEqual([end.exitCode, end.error, end.frames, end.seconds], [0, null, samples.length / channels, end.frames / rate]);
      assert.equal(cap.stages[0].argc, argc);
      for (let n = 0; n < frames; n += 997) {
        const want = channels === 1 ? [n] : [n, -n];
        assert.deepEqual([...samples.slice(n * channels, (n + 1) * channels)], want, `frame ${n}`);
      }
    });
  }
});

describe('status channel', () => {
  it('sync, level and end come with the audio, and the clock follows the sync pairs', BOUNDED, async () => {
    // 300 ppm of drift: the fitted clock must follow it, as the engine stamped its packets.
    const cap = capture('source=tone,period=0,packets=1000,drift=300', { excludePid: PID });
    const counts = { sync: 0, level: 0, gap: 0, silentCapture: 0, tree: 0, statusError: 0 };
    for (const name of Object.keys(counts)) cap.on(name, () => counts[name]++);
    const levels = [];
    cap.on('level', (event) => levels.push(event));
    let frames = 0;
    for await (const chunk of cap) {
      frames += chunk.length / 2;
      if (frames >= 1000 * 480) break;
    }
    const end = await cap.ended;
    assert.equal(end.exitCode, 0);
    assert.deepEqual([cap.status.rate, cap.status.channels, cap.status.unit], [48000, 2, 'monotonic-ns']);
    assert.ok(counts.sync >= 9 && counts.level >= 90, JSON.stringify(counts));
    assert.deepEqual([counts.gap, counts.silentCapture, counts.tree, counts.statusError], [0, 0, 0, 0]);
    for (const event of levels) assert.ok(Math.abs(event.peak_db[0] - 20 * Math.log10(0.25)) < 0.1, event);
    assert.equal(cap.statusEnd.reason, 'stop');
    // Nine seconds of frames on a clock 300 ppm slow: 9 s + 2.7 ms, to within a millisecond.
    const span = cap.clock.clockAt(9 * 48000) - cap.clock.clockAt(0);
    assert.ok(Math.abs(span - 9.0027e9) < 1e6, span);
  });
});

describe('backpressure', () => {
  it('a slow consumer gets every frame while the stream buffers no more than its high-water mark', BOUNDED, async () => {
    const cap = capture('source=ramp,period=0,frames=480,packets=1500', { highWaterMark: 4 });
    let most = 0;
    const { end, counted } = await readRamp(cap, 1500 * 480, new RampChecker(), {
      onChunk: async () => {
        most = Math.max(most, cap.readableLength);
        await new Promise((r) => setTimeout(r, 2));
      },
    });
    assert.deepEqual([end.exitCode, end.forced, counted], [0, false, 1500 * 480]);
    assert.ok(most <= 4, `${most} chunks were buffered`);
  });

  it('a consumer that stopped reading does not keep the helper from a clean stop', BOUNDED, async () => {
    const cap = capture('source=tone,period=0', { highWaterMark: 2 });
    await cap.started;
    // Nobody reads: the stream fills up to its high-water mark, then the pipe, and the helper blocks.
    for (const deadline = Date.now() + WAIT_MS; cap.readableLength < 2 && Date.now() < deadline; ) {
      await new Promise((r) => setTimeout(r, 10));
    }
    assert.equal(cap.readableLength, 2);
    const end = await cap.stop({ timeoutMs: 10000 });
    assert.deepEqual([end.exitCode, end.forced, end.error], [0, false, null]);
  });
});

describe('stop and abort', () => {
  it('stop during capture ends with exit code 0 and whole frames', BOUNDED, async () => {
    const cap = capture('source=tone');
    await cap.started;
    let frames = 0;
    cap.on('data', (samples) => (frames += samples.length / 2));
    await once(cap, 'data');
    const [end] = await Promise.all([cap.stop(), once(cap, 'end')]);
    assert.deepEqual([end.exitCode, end.forced, end.stopped, end.error], [0, false, true, null]);
    assert.equal(frames, end.frames);
    assert.ok(!alive(cap.pid));
  });

  it('stop during a set-up that then completes is a clean stop', BOUNDED, async () => {
    const cap = capture('stall=initialize:300');
    cap.resume();
    await stageLine(cap, 7); // its stop handler is in place
    const end = await cap.stop({ timeoutMs: WAIT_MS });
    await cap.started;
    assert.deepEqual([end.exitCode, end.forced], [0, false]);
  });

  it('stop at once is a stop, whether or not the helper was ready for it', BOUNDED, async () => {
    const cap = capture('');
    const end = await cap.stop();
    assert.ok(end.error === null || end.error.code === 'HELPER_STOPPED', end.error?.stack);
    assert.equal(end.forced, false);
  });

  it('stop during a set-up that does not finish in time ends the helper forcefully', BOUNDED, async () => {
    const cap = capture('stall=initialize:600000');
    cap.resume();
    await stageLine(cap, 7);
    const end = await cap.stop({ timeoutMs: 200 });
    assert.deepEqual([end.exitCode, end.signal, end.forced], [null, 'SIGKILL', true]);
    const error = await cap.started.catch((e) => e);
    assert.ok(error instanceof HelperError);
    assert.equal(error.code, 'HELPER_STOPPED');
    assert.ok(await gone(cap.pid));
  });

  for (const [when, scenario, ready] of [
    ['set-up', 'stall=initialize:600000', (cap) => stageLine(cap, 7)],
    ['capture', 'source=tone', (cap) => cap.started],
  ]) {
    it(`abort during ${when} ends the helper at once and fails the stream and \`started\``, BOUNDED, async () => {
      const controller = new AbortController();
      const cap = capture(scenario, { signal: controller.signal });
      const reading = (async () => {
        for await (const samples of cap) assert.equal(samples.length % 2, 0);
      })();
      await ready(cap);
      controller.abort();
      await assert.rejects(reading, { name: 'AbortError' });
      if (when === 'set-up') await assert.rejects(cap.started, { name: 'AbortError' });
      const end = await cap.ended;
      assert.deepEqual([end.aborted, end.forced], [true, true]);
      assert.ok(await gone(cap.pid));
    });
  }

  it('stop() once the helper is being killed asks nothing more of it', BOUNDED, async () => {
    const controller = new AbortController();
    const cap = capture('stall=initialize:600000', { signal: controller.signal });
    cap.resume();
    await stageLine(cap, 7);
    controller.abort();
    const end = await cap.stop(); // the kill has not ended the helper yet
    assert.deepEqual([end.aborted, end.forced, end.stopped, end.signal], [true, true, false, 'SIGKILL']);
  });

  it('an aborted signal starts nothing', BOUNDED, async () => {
    const cap = capture('', { signal: AbortSignal.abort() });
    await assert.rejects(cap.started, { name: 'AbortError' });
    assert.equal(cap.pid, undefined);
  });

  it('a consumer that gives up on the stream ends the helper', BOUNDED, async () => {
    const cap = capture('source=tone');
    for await (const samples of cap) {
      assert.ok(samples.length > 0);
      break;
    }
    const end = await cap.ended;
    assert.deepEqual([end.exitCode, end.stopped], [0, true]);
    assert.ok(!alive(cap.pid));
  });
});
