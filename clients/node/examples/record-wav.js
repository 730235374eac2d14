#!/usr/bin/env node
// Records what the machine plays, except this process, into a WAV file and prints the level of each
// second. Stops after SECONDS of audio, or at Ctrl+C.
//
//   node examples/record-wav.js OUT.wav [SECONDS]       (helper: $AUDIO_HELPER_PATH or audio-helper on PATH)
import { open } from 'node:fs/promises';

import { SAMPLE_RATE, startCapture } from 'audio-helper-client';

const [file, seconds = '5'] = process.argv.slice(2);
if (!file) {
  console.error('usage: record-wav.js OUT.wav [SECONDS]');
  process.exit(2);
}
const wanted = Math.round(Number(seconds) * SAMPLE_RATE);

// A float WAV header: RIFF, fmt (WAVE_FORMAT_IEEE_FLOAT, 2 channels, 48 kHz, 32 bits), fact, data.
function wavHeader(frames) {
  const header = Buffer.alloc(58);
  const data = frames * 8;
  header.write('RIFF', 0, 'latin1');
  header.writeUInt32LE(50 + data, 4);
  header.write('WAVEfmt ', 8, 'latin1');
  [18, 3, 2, SAMPLE_RATE, SAMPLE_RATE * 8, 8, 32, 0].forEach((value, i) => {
    const at = [16, 20, 22, 24, 28, 32, 34, 36][i];
    if (i === 0 || i === 3 || i === 4) header.writeUInt32LE(value, at);
    else header.writeUInt16LE(value, at);
  });
  header.write('fact', 38, 'latin1');
  header.writeUInt32LE(4, 42);
  header.writeUInt32LE(frames, 46);
  header.write('data', 50, 'latin1');
  header.writeUInt32LE(data, 54);
  return header;
}

const out = await open(file, 'w');
await out.write(wavHeader(0));

const capture = startCapture(); // excludes this process
capture.on('stage', (stage) => console.error(`helper: ${stage.text}`));
process.once('SIGINT', () => capture.stop()); // Ctrl+C: a clean stop, the WAV is completed below
// A level meter on the terminal, from the helper's level events (no decoding here).
if (process.stderr.isTTY) {
  capture.on('level', ({ peak_db: peaks }) => {
    const db = Math.max(...peaks.map((value) => value ?? -Infinity));
    const width = Math.max(0, Math.min(40, Math.round((db + 60) / 1.5)));
    process.stderr.write(`\r[${'#'.repeat(width).padEnd(40)}] ${Number.isFinite(db) ? db.toFixed(1) : ' -inf'} dBFS `);
  });
  capture.on('silentCapture', () => process.stderr.write('\nsomething plays that the capture does not hear\n'));
}

let frames = 0;
let peak = 0;
try {
  for await (const samples of capture) {
    // Past the wanted length: drop the rest (a stop is not instant).
    const take = Math.min(samples.length / 2, Math.max(0, wanted - frames));
    const part = samples.subarray(0, take * 2);
    await out.write(new Uint8Array(part.buffer, part.byteOffset, part.byteLength));
    for (let i = 0; i < part.length; i += 2) {
      peak = Math.max(peak, Math.abs(part[i]), Math.abs(part[i + 1]));
      if (++frames % SAMPLE_RATE === 0) {
        console.log(`${frames / SAMPLE_RATE} s: peak ${peak.toFixed(3)}`);
        peak = 0;
      }
    }
    if (frames >= wanted) capture.stop();
  }
} catch (error) {
  // A HelperError names the stage that failed and what the helper printed.
  console.error(`capture failed: ${error.message}`);
  process.exitCode = 1;
}
await out.write(wavHeader(frames), 0, 58, 0);
await out.close();
const end = await capture.ended;
console.error(`${frames} frames written to ${file}; helper exit code ${end.exitCode}`);
