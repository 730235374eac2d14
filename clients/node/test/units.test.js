// The parts that need no process: header check, frame assembly over any chunking, line splitting and
// the catalogue.
import assert from 'node:assert/strict';
import { describe, it } from 'node:test';

import { LineSplitter, parseLine } from '../src/diagnostics.js';
import { FrameAssembler, checkHeader } from '../src/frames.js';
import { RampChecker } from './support.js';

const HEADER = Buffer.from('4C42415380BB00000200000020000000', 'hex');

describe('header', () => {
  const cases = [
    ['the expected header', HEADER, null],
    ['a short one', HEADER.subarray(0, 15), 'length'],
    ['another magic', Buffer.concat([Buffer.from('LBAX'), HEADER.subarray(4)]), 'magic'],
    ['44.1 kHz', withWord(4, 44100), 'sampleRate'],
    ['mono', withWord(8, 1), 'channels'],
    ['16-bit', withWord(12, 16), 'bitsPerSample'],
  ];
  for (const [name, bytes, field] of cases) {
    it(name, () => assert.equal(checkHeader(bytes)?.field ?? null, field));
  }
  it('says what came instead', () => {
    assert.deepEqual(checkHeader(withWord(4, 44100)), { field: 'sampleRate', expected: 48000, actual: 44100 });
  });
});

function withWord(at, value) {
  const bytes = Buffer.from(HEADER);
  bytes.writeUInt32LE(value, at);
  return bytes;
}

function rampBytes(frames) {
  const samples = new Float32Array(frames * 2);
  for (let n = 0; n < frames; n++) [samples[2 * n], samples[2 * n + 1]] = [n, -n];
  return new Uint8Array(samples.buffer);
}

// A small deterministic generator, so a failure can be repeated.
function random(seed) {
  return () => ((seed = (seed * 1103515245 + 12345) >>> 0) / 2 ** 32);
}

describe('frame assembly', () => {
  it('keeps every frame whole and in order over arbitrary splits and misaligned chunks', () => {
    const stream = rampBytes(5000);
    const next = random(7);
    for (let round = 0; round < 40; round++) {
      const assembler = new FrameAssembler();
      const checker = new RampChecker({ frames: 5000 });
      for (let at = 0; at < stream.length; ) {
        const size = Math.min(stream.length - at, Math.floor(next() * (round % 2 ? 20 : 3000)) + 1);
        // The chunk sits at a random offset of its own buffer, as a slice of a pooled Buffer would.
        const offset = Math.floor(next() * 8);
        const backing = new Uint8Array(offset + size);
        backing.set(stream.subarray(at, at + size), offset);
        const samples = assembler.push(backing.subarray(offset));
        if (samples) assert.equal(checker.check(samples), null);
        at += size;
      }
      assert.equal(checker.frame, 5000);
      assert.equal(assembler.pendingBytes, 0);
    }
  });

  it('views an aligned chunk in place and keeps a trailing partial frame', () => {
    const assembler = new FrameAssembler();
    const chunk = rampBytes(4).subarray(0, 29); // three frames and five bytes
    const samples = assembler.push(chunk);
    assert.equal(samples.buffer, chunk.buffer, 'copied when a view would do');
    assert.deepEqual([...samples], [0, -0, 1, -1, 2, -2]);
    assert.equal(assembler.pendingBytes, 5);
    assert.deepEqual([...assembler.push(rampBytes(4).subarray(29))], [3, -3]);
    assert.equal(assembler.pendingBytes, 0);
  });
});

describe('diagnostic lines', () => {
  const cases = [
    ['[helper] Elindult, argc=2', { line: 1, argc: 2 }],
    ['Usage: C:\\x y\\audio-helper.exe <exclude_pid>', { line: 2, program: 'C:\\x y\\audio-helper.exe', exitCode: 1 }],
    ['[helper] exclude_pid=4294967295', { line: 3, pid: 4294967295 }],
    ['[helper] CoInitializeEx failed: 0x80004005', { line: 4, status: 0x80004005, exitCode: 2 }],
    ['[helper] COM inicializalva, aktivalas inditasa...', { line: 5 }],
    ['ActivateAudioInterfaceAsync failed: 0x80070005', { line: 6, status: 0x80070005, exitCode: 3 }],
    ['[helper] ActivateAudioInterfaceAsync elindult, varakozas a befejezesre...', { line: 7 }],
    ['[helper] Aktivalas timeout (nincs completion esemeny 5mp alatt)', { line: 8, exitCode: 8 }],
    ['[helper] Aktivalas befejezve, eredmeny: 0x00000000', { line: 9, status: 0 }],
    ['Activation failed: 0x80004002 (Windows 10 2004+ szukseges)', { line: 10, status: 0x80004002, exitCode: 4 }],
    ['AudioClient Initialize failed: 0x88890008', { line: 11, status: 0x88890008, exitCode: 5 }],
    ['[helper] AudioClient inicializalva', { line: 12 }],
    ['GetService(IAudioCaptureClient) failed: 0xffffffff', { line: 13, status: 0xffffffff, exitCode: 6 }],
    ['AudioClient Start failed: 0x8007000e', { line: 14, status: 0x8007000e, exitCode: 7 }],
    ['[helper] Rogzites elindult, fejlec elkuldve.', { line: 15 }],
    ['[helper] Rogzites elindult, fejlec elkuldve.!', { line: null }],
    ['[helper] exclude_pid=12x', { line: null }],
    ['AudioClient Start failed: 0x8007000E', { line: null }], // the helper prints lower case
  ];
  for (const [text, expected] of cases) {
    it(text, () => {
      const stage = parseLine(text);
      assert.deepEqual(pick(stage, Object.keys(expected)), expected);
      assert.equal(stage.failure, expected.exitCode !== undefined);
    });
  }

  it('are split on CR LF whatever the chunk boundaries', () => {
    const lines = ['[helper] Elindult, argc=2', 'ő ű', '[helper] exclude_pid=1'];
    const bytes = Buffer.from(lines.map((l) => `${l}\r\n`).join('') + 'tail', 'utf16le');
    for (let size = 1; size <= 7; size++) {
      const splitter = new LineSplitter();
      const got = [];
      for (let at = 0; at < bytes.length; at += size) got.push(...splitter.push(bytes.subarray(at, at + size)));
      assert.deepEqual(got, lines, `chunks of ${size}`);
      assert.equal(splitter.end(), 'tail');
    }
  });

  it('show a program that wrote 8-bit text as such', () => {
    const splitter = new LineSplitter();
    assert.deepEqual(splitter.push(Buffer.from("AUDIO_HELPER_SIM: item 'x' is not a known item\n")), []);
    assert.equal(splitter.end(), "AUDIO_HELPER_SIM: item 'x' is not a known item");
  });
});

function pick(object, keys) {
  return Object.fromEntries(keys.map((key) => [key, object[key] ?? null]));
}
