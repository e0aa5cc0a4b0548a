'use strict';
// The package's API against logind: a hold is in systemd-inhibit's list, under
// its app's name, while it is in force; a refusal throws the library's message.
// Beside it, what the table of cases cannot say: copies of the package in one
// process, the KORVEL_FAKE_SUCCESS switch, and the samples of the README and
// docs/, run as they are written.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { Worker } = require('node:worker_threads');
const { once } = require('node:events');
const korvel = require('korvel');
const { eventually } = require('./eventually');

const dispose = Symbol.dispose || Symbol.for('nodejs.dispose');
const source = process.env.KORVEL_SOURCE_DIR || path.join(__dirname, '..', '..', '..');

function listed(text) {
  return execFileSync('systemd-inhibit', ['--list', '--no-pager'], { encoding: 'utf8' }).includes(text);
}

test('a hold is in logind\'s list under its app\'s name until it is disposed of', async () => {
  if (process.env.KORVEL_EXPECT_CARRIED) assert.match(korvel.libraryPath(), /prebuilds/);
  const awake = korvel.hold({ minutes: 30, name: 'node hold', app: 'Node Photo Export' });
  assert.strictEqual(korvel.status().mode, 'minutes');
  assert.ok(await eventually(() => listed('Node Photo Export') && listed('node hold')), 'not in systemd-inhibit --list');
  awake[dispose](); // what `using` does at the end of its block
  assert.strictEqual(awake.held, false);
  assert.strictEqual(korvel.status().active, 0);
  assert.ok(await eventually(() => !listed('node hold')), 'still listed');
});

// A worker thread holding or refused on command, as another copy does.
const WORKER = `const { parentPort, workerData } = require('node:worker_threads');
const korvel = require(workerData);
let hold = null;
parentPort.on('message', (command) => {
  try {
    if (command === 'hold') hold = korvel.hold({ name: 'worker' });
    if (command === 'release' && hold) hold.release();
    parentPort.postMessage(hold && hold.held ? 'held' : 'not held');
  } catch (e) {
    parentPort.postMessage(e.message);
  }
});`;

test('a worker thread, or a direct kor_on, is another copy: never combined, never ended by this one', async () => {
  const worker = new Worker(WORKER, { eval: true, workerData: require.resolve('korvel') });
  const ask = (command) => (worker.postMessage(command), once(worker, 'message').then(([answer]) => answer));
  try {
    const main = korvel.hold({ name: 'main thread' });
    assert.match(await ask('hold'), /belongs to another copy of korvel/);
    assert.strictEqual(await ask('release'), 'not held');
    assert.ok(main.held);
    assert.strictEqual(korvel.status().name, 'main thread');
    main.release();

    assert.strictEqual(await ask('hold'), 'held');
    assert.throws(() => korvel.hold(), /belongs to another copy of korvel/);
    main.release();
    assert.strictEqual(await ask('release'), 'not held');
    assert.strictEqual(korvel.status().active, 0);

    const mine = korvel.hold({ name: 'mine' });
    const koffi = require('koffi');
    const lib = koffi.load(korvel.libraryPath());
    lib.func('int kor_on(const char *options_json)')('{"name":"direct"}');
    assert.ok(!mine.held, 'a hold says it is in force while the activation is another\'s');
    mine.release();
    assert.strictEqual(korvel.status().name, 'direct');
    lib.func('int kor_off(void)')();
  } finally {
    await worker.terminate();
  }
});

test('two copies of the package in one thread compose their holds', () => {
  const here = path.dirname(require.resolve('korvel'));
  const copy = path.join(here, '..', 'korvel-second-copy');
  fs.cpSync(here, copy, { recursive: true });
  const second = require(copy);
  const a = korvel.hold({ name: 'copy one' });
  const b = second.hold({ display: true });
  assert.deepStrictEqual([korvel.status().name, second.status().keep_display], ['copy one', 1]);
  a.release();
  assert.ok(b.held && !a.held);
  assert.strictEqual(korvel.status().active, 1);
  b.release();
  assert.strictEqual(korvel.status().active, 0);
});

test('KORVEL_FAKE_SUCCESS grants without the library and says so', () => {
  const script = `const k = require('korvel'); const a = k.hold({ pid: 2147483647 }); const b = k.hold({ minutes: 5 });
    b.release(); process.stdout.write(JSON.stringify([a.held, k.status().mechanism, k.libraryPath()]));
    try { k.hold({ display: 'no' }); } catch (e) { process.stdout.write(' ' + e.name); }`;
  const env = { ...process.env, KORVEL_FAKE_SUCCESS: '1', KORVEL_LIBRARY: '/nonexistent' };
  const out = execFileSync(process.execPath, ['-e', script], { env, encoding: 'utf8', cwd: path.dirname(require.resolve('korvel')) });
  assert.strictEqual(out, '[true,"fake (KORVEL_FAKE_SUCCESS)",null] TypeError');
});

test('every Node sample of the README and docs/ runs as it is written', (t) => {
  const dir = fs.mkdtempSync(path.join(path.dirname(require.resolve('korvel')), '..', '..', 'samples-'));
  const samples = execFileSync('python3', [path.join(source, 'tests', 'samples', 'extract.py'), 'js', dir], { encoding: 'utf8' })
    .trim().split('\n').map((line) => line.split('\t'));
  t.diagnostic(`${samples.length} samples`);
  assert.ok(samples.length >= 3, 'no samples found');
  try {
    for (const [file, where] of samples) {
      try {
        execFileSync(process.execPath, [file], { encoding: 'utf8', stdio: 'pipe' });
      } catch (e) {
        assert.fail(`${where}: ${e.stderr}`);
      }
    }
  } finally {
    fs.rmSync(dir, { recursive: true });
  }
  assert.strictEqual(korvel.status().active, 0);
});
