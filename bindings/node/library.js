'use strict';
// What the holds are asked of: the korvel library, found in one order, or,
// with KORVEL_FAKE_SUCCESS set, a stand-in that grants everything. Both offer
// on(text) (null, or the refusal's message), off() and status().
const fs = require('node:fs');
const path = require('node:path');

const LIBRARY_NAME = 'brenvic-korvel-sleep-blocker';
const FILE_NAME = LIBRARY_NAME + (process.platform === 'win32' ? '.dll' : '.so');
const FAKE_MECHANISM = 'fake (KORVEL_FAKE_SUCCESS)';

function fakeRequested() {
  const value = (process.env.KORVEL_FAKE_SUCCESS || '').toLowerCase();
  return !['', '0', 'false', 'no'].includes(value);
}

// Where the library is looked for, in order: the file KORVEL_LIBRARY names,
// the one this package carries for this platform, then the system's, by the
// bare name the loader finds after an install (ldconfig, a .deb).
function candidates() {
  const found = [];
  if (process.env.KORVEL_LIBRARY) found.push(['KORVEL_LIBRARY', process.env.KORVEL_LIBRARY]);
  const carried = path.join(__dirname, 'prebuilds', `${process.platform}-${process.arch}`, FILE_NAME);
  if (fs.existsSync(carried)) found.push(['in the package', carried]);
  found.push(['on the system', FILE_NAME]);
  return found;
}

function bind(koffi, lib, where) {
  const on = lib.func('int kor_on(const char *options_json)');
  const off = lib.func('int kor_off(void)');
  // A plain pointer, not a string: the text goes back to kor_free_string.
  const status = lib.func('void *kor_status(void)');
  const lastError = lib.func('const char *kor_last_error(void)');
  const freeString = lib.func('void kor_free_string(void *text)');
  return {
    path: where,
    on: (text) => (on(text) === 1 ? null : lastError()),
    off: () => { off(); },
    status() {
      const text = status();
      if (!text) throw new Error(lastError());
      try {
        return JSON.parse(koffi.decode(text, 'char', -1));
      } finally {
        freeString(text);
      }
    },
  };
}

function load() {
  const koffi = require('koffi');
  const failures = [];
  for (const [where, target] of candidates()) {
    try {
      return bind(koffi, koffi.load(target), target);
    } catch (e) {
      failures.push(`${where}: ${e.message}`);
    }
  }
  throw new Error('cannot load the korvel library: ' + failures.join('; '));
}

// Grants every request and reports it as the library would, naming itself as
// the mechanism; a timed request runs out, a process-bound one never ends.
function fake() {
  let asked = null;
  let deadline = 0;
  return {
    path: null,
    on(text) {
      asked = JSON.parse(text);
      const seconds = asked.seconds !== undefined ? asked.seconds : Math.max(1, Math.floor(asked.minutes * 60 + 0.5));
      deadline = Date.now() + seconds * 1000;
      return null;
    },
    off() {
      asked = null;
    },
    status() {
      if (asked && asked.mode === 'minutes' && Date.now() >= deadline) asked = null;
      const left = asked && asked.mode === 'minutes' ? Math.ceil((deadline - Date.now()) / 1000) : 0;
      return {
        active: asked ? 1 : 0,
        mode: asked ? asked.mode : 'none',
        remaining_s: left,
        keep_display: asked && asked.keep_display ? 1 : 0,
        platform: process.platform === 'win32' ? 'windows' : 'linux',
        mechanism: FAKE_MECHANISM,
        pid: (asked && asked.pid) || 0,
        name: (asked && asked.name) || '',
      };
    },
  };
}

module.exports = { fakeRequested, load, fake };
