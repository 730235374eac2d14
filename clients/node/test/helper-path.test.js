// Which binary startCapture() runs with no helperPath: the asar mapping and the platform lookup.
import assert from 'node:assert/strict';
import path from 'node:path';
import { describe, it } from 'node:test';

import { HelperError, startCapture } from '../src/index.js';
import { bundledHelperPath, unpackedPath } from '../src/helper-path.js';

describe('app.asar paths map to app.asar.unpacked', () => {
  const cases = [
    ['/opt/App/resources/app.asar/node_modules/c/bin/linux-x64/audio-helper',
      '/opt/App/resources/app.asar.unpacked/node_modules/c/bin/linux-x64/audio-helper'],
    ['C:\\App\\resources\\app.asar\\node_modules\\c\\bin\\win32-x64\\audio-helper.exe',
      'C:\\App\\resources\\app.asar.unpacked\\node_modules\\c\\bin\\win32-x64\\audio-helper.exe'],
    ['/opt/App/resources/app.asar.unpacked/bin/x', '/opt/App/resources/app.asar.unpacked/bin/x'], // already
    ['/home/u/my-app.asar/bin/x', '/home/u/my-app.asar/bin/x'], // only a whole path segment
    ['/home/u/app.asarx/bin/x', '/home/u/app.asarx/bin/x'],
    ['/home/u/project/node_modules/c/bin/x', '/home/u/project/node_modules/c/bin/x'],
  ];
  for (const [from, to] of cases) it(from, () => assert.equal(unpackedPath(from), to));
});

describe('the carried binary for each platform', () => {
  const root = path.join(path.sep, 'r', 'app.asar', 'node_modules', 'c');
  const unpacked = path.join(path.sep, 'r', 'app.asar.unpacked', 'node_modules', 'c');
  const cases = [
    // platform, arch, what exists, the path or the error's platform
    ['linux', 'x64', 'all', path.join(unpacked, 'bin', 'linux-x64', 'audio-helper')],
    ['win32', 'x64', 'all', path.join(unpacked, 'bin', 'win32-x64', 'audio-helper.exe')],
    ['linux', 'x64', 'none', 'linux-x64'], // a package built without it
    ['darwin', 'arm64', 'all', 'darwin-arm64'],
    ['linux', 'arm64', 'all', 'linux-arm64'],
  ];
  for (const [platform, arch, present, expected] of cases) {
    it(`${platform}-${arch}, ${present} present`, () => {
      const exists = (file) => present === 'all' && file.startsWith(unpacked);
      if (expected.startsWith(path.sep)) {
        assert.equal(bundledHelperPath({ platform, arch, root, exists }), expected);
        return;
      }
      assert.throws(() => bundledHelperPath({ platform, arch, root, exists }), (error) => {
        assert.ok(error instanceof HelperError);
        assert.equal(error.code, 'HELPER_NO_BINARY');
        assert.equal(`${error.platform}-${error.arch}`, expected);
        assert.match(error.message, new RegExp(`no helper for ${expected}`));
        return true;
      });
    });
  }

  it('startCapture with neither helperPath nor AUDIO_HELPER_PATH, from a tree with no bin/, throws it', () => {
    const saved = process.env.AUDIO_HELPER_PATH;
    delete process.env.AUDIO_HELPER_PATH;
    try {
      assert.throws(() => startCapture(), { name: 'HelperError', code: 'HELPER_NO_BINARY' });
    } finally {
      if (saved !== undefined) process.env.AUDIO_HELPER_PATH = saved;
    }
  });
});
