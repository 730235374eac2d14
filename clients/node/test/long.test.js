// Ten minutes of ramp through the package, frame-exact (the simulated engine runs as fast as the pipe).
import assert from 'node:assert/strict';
import { it } from 'node:test';

import { RampChecker, capture, readRamp } from './support.js';

const PACKETS = 10 * 60 * 100; // 10 ms packets of 480 frames
const FRAMES = PACKETS * 480;

it('a 10-minute ramp capture arrives frame-exact', { timeout: 300000 }, async () => {
  const cap = capture(`source=ramp,period=0,frames=480,packets=${PACKETS},burst=7`);
  let chunks = 0;
  const { end, counted } = await readRamp(cap, FRAMES, new RampChecker(), { onChunk: () => chunks++ });
  assert.deepEqual([end.exitCode, end.forced, end.error, counted, end.frames], [0, false, null, FRAMES, FRAMES]);
  assert.ok(chunks > 1000, `${chunks} chunks`);
});
