'use strict';
// Every row of the front-ends' table (tests/policy/cases.json): option rows
// against the request the package builds, hold rows against the library.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { once } = require('node:events');
const korvel = require('korvel');
const { eventually } = require('./eventually');

const source = process.env.KORVEL_SOURCE_DIR || path.join(__dirname, '..', '..', '..');
const cases = JSON.parse(fs.readFileSync(path.join(source, 'tests', 'policy', 'cases.json'), 'utf8'));

test(`options: all ${cases.options.length} rows`, () => {
  for (const row of cases.options) {
    const label = JSON.stringify(row.given);
    if (row.request) {
      assert.deepStrictEqual(JSON.parse(korvel.optionsText(row.given)), row.request, label);
    } else {
      assert.throws(() => korvel.optionsText(row.given), (e) => e.name === row.error.node && e.message.includes(row.refused), label);
    }
  }
});

async function play(steps) {
  const holds = {};
  const children = {};
  const fill = (given) => Object.fromEntries(Object.entries(given).map(([key, value]) => [key,
    typeof value === 'string' && value.startsWith('$') ? children[value.slice(1)].pid : value]));
  try {
    for (const [step, id, arg] of steps) {
      if (step === 'spawn') children[id] = spawn('sleep', ['1000']);
      if (step === 'kill') await Promise.all([once(children[id], 'exit'), children[id].kill()]);
      if (step === 'take') holds[id] = korvel.hold(fill(arg));
      if (step === 'refuse') {
        assert.throws(() => korvel.hold(fill(id)), (e) => e.name === 'KorvelError' && e.message.includes(arg), arg);
      }
      if (step === 'release') holds[id].release();
      if (step === 'await_end') assert.ok(await eventually(() => !holds[id].held, 10000), `${id} still held`);
      if (step !== 'expect') continue;
      for (const h of id.held || []) assert.ok(holds[h].held, `${h} is not held`);
      for (const h of id.ended || []) assert.ok(!holds[h].held, `${h} is held`);
      const now = korvel.status();
      for (const key of ['active', 'keep_display', 'mode', 'name']) {
        if (key in id) assert.strictEqual(now[key], id[key], `${key} in ${JSON.stringify(now)}`);
      }
    }
  } finally {
    Object.values(holds).forEach((h) => h.release());
    Object.values(children).forEach((c) => c.kill());
  }
}

test(`holds: all ${cases.holds.length} rows`, async (t) => {
  for (const row of cases.holds) await t.test(row.name, () => play(row.steps));
  assert.strictEqual(korvel.status().active, 0);
});
