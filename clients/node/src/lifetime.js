// Ties every running helper to this process: the helper does not notice when its reader goes away, so
// it is ended when this process exits, however it exits. The process-wide listeners exist only while a
// helper runs.
const running = new Set();
const SIGNALS = process.platform === 'win32' ? ['SIGINT', 'SIGBREAK', 'SIGHUP'] : ['SIGINT', 'SIGTERM', 'SIGHUP'];

function endAll() {
  for (const child of running) {
    try {
      child.kill('SIGKILL'); // nobody is left to read its audio, and it may be deaf to signals in set-up
    } catch {
      // already gone
    }
  }
  running.clear();
}

function onSignal(signal) {
  // Someone else listens too: the application decides whether this signal ends it, and 'exit' covers
  // that case. Otherwise keep the default behaviour: end the helpers, then die of the same signal.
  if (process.listenerCount(signal) > 1) return;
  endAll();
  uninstall();
  try {
    process.kill(process.pid, signal);
  } catch {
    process.exit(1);
  }
}

function install() {
  process.on('exit', endAll);
  for (const signal of SIGNALS) process.on(signal, onSignal);
}

function uninstall() {
  process.removeListener('exit', endAll);
  for (const signal of SIGNALS) process.removeListener(signal, onSignal);
}

export function adopt(child) {
  if (running.size === 0) install();
  running.add(child);
}

export function release(child) {
  if (!running.delete(child)) return;
  if (running.size === 0) uninstall();
}
