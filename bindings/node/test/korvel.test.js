'use strict';
// The package's API once, against logind: a hold is in systemd-inhibit's list
// while it is in force, and a refusal throws the library's message.
const test = require('node:test');
const assert = require('node:assert');
const { execFileSync } = require('node:child_process');
const korvel = require('korvel');

const dispose = Symbol.dispose || Symbol.for('nodejs.dispose');

function listed(why) {
  return execFileSync('systemd-inhibit', ['--list', '--no-pager'], { encoding: 'utf8' }).includes(why);
}

async function eventually(predicate, ms = 5000) {
  for (const end = Date.now() + ms; Date.now() < end;) {
    if (predicate()) return true;
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  return predicate();
}

test('a hold is in logind\'s list until it is disposed of', async () => {
  if (process.env.KORVEL_EXPECT_CARRIED) assert.match(korvel.libraryPath(), /prebuilds/);
  const awake = korvel.hold({ minutes: 30, name: 'node hold' });
  assert.strictEqual(korvel.status().mode, 'minutes');
  assert.ok(await eventually(() => listed('node hold')), 'not in systemd-inhibit --list');
  assert.throws(() => korvel.hold(), korvel.KorvelError);
  awake[dispose](); // what `using` does at the end of its block
  assert.strictEqual(awake.held, false);
  assert.strictEqual(korvel.status().active, 0);
  assert.ok(await eventually(() => !listed('node hold')), 'still listed');
});

test('a refusal throws the library\'s message and holds nothing', () => {
  assert.throws(() => korvel.hold({ pid: -4 }), { name: 'KorvelError', message: 'while_pid requires positive pid' });
  assert.throws(() => korvel.hold({ minutes: 1, pid: 1 }), TypeError);
  assert.strictEqual(korvel.status().active, 0);
});
