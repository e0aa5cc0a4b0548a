'use strict';
// The holds in force in this thread, and the one activation the library keeps
// for the process. Any number of holds may be in force; the registry asks the
// library for their union whenever they change:
//
//   no hold     the activation is ended
//   one hold    exactly its request (after others ended: a timed hold with
//               the seconds it has left, a process-bound one by the process
//               id found when it was taken)
//   several     an indefinite activation, the display kept on if any hold
//               asks for it, named after the oldest hold; the registry ends
//               timed holds at their deadline and process-bound ones within
//               500 ms of their process's end, and asks again
//
// Every copy of this package in a thread shares the first copy's registry
// (it lives on globalThis), so their holds compose, whatever library file each
// copy carries. A worker thread has a registry of its own, which cannot know
// the other's holds: it never takes the activation while another copy holds
// it, and never changes an activation that is no longer the one it asked for.
// Its methods are the contract between copies (and versions) of the package:
// take(request) -> {entry} | {error}, release(entry), held(entry),
// status() -> {status} | {error}, libraryPath() -> {path} | {error}.
const fs = require('node:fs');
const { performance } = require('node:perf_hooks');
const library = require('./library');

const KEY = Symbol.for('korvel.registry');
const ANOTHER_COPY = "the library's activation belongs to another copy of korvel in this process "
  + '(a worker thread, a plugin, a second copy of the package, or a direct kor_on call): '
  + 'holds of different copies cannot be combined';
const PROCESS_POLL_MS = 500;
const LONGEST_TIMER_MS = 2147483647; // setTimeout's limit
const FINGERPRINT = ['mode', 'name', 'keep_display', 'pid'];

// The process's start time (field 22 of /proc/PID/stat), or null once it
// has ended (gone, a zombie, being reaped). Elsewhere: 0 while it exists.
function startTime(pid) {
  if (process.platform !== 'linux') {
    try {
      process.kill(pid, 0);
      return 0;
    } catch (e) {
      return e.code === 'EPERM' ? 0 : null;
    }
  }
  let stat;
  try {
    stat = fs.readFileSync(`/proc/${pid}/stat`, 'latin1');
  } catch {
    return null;
  }
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return fields[0] === 'Z' || fields[0] === 'X' ? null : fields[19];
}

// The seconds the library holds a timed request for, else null.
function duration(request) {
  if (request.mode !== 'minutes') return null;
  return request.seconds !== undefined ? request.seconds : Math.max(1, Math.floor(request.minutes * 60 + 0.5));
}

class Entry {
  constructor(request) {
    this.request = request;
    this.text = JSON.stringify(request);
    const seconds = duration(request);
    // Taken before the library is asked, so never after the library's own.
    this.deadline = seconds === null ? null : performance.now() + seconds * 1000;
    this.bound = request.mode === 'while_pid' || request.mode === 'while_process';
    this.pid = 0;
    this.start = null;
  }
}

class Registry {
  constructor() {
    this.fake = library.fakeRequested();
    this.backend = null;
    this.holds = []; // oldest first
    this.asked = null; // the options text of the activation this registry asked for
    this.shown = null; // the status right after it was granted
    this.timer = null;
  }

  lib() {
    if (!this.backend) this.backend = this.fake ? library.fake() : library.load();
    return this.backend;
  }

  take(request) {
    try {
      this.sweep();
      this.verify();
      if (this.holds.length === 0) {
        this.settle();
        if (this.lib().status().active) return { error: ANOTHER_COPY };
      }
      const entry = new Entry(request);
      if (entry.bound) {
        // Asked alone first, so that a refusal is the library's own
        // ("pid 4242 is not alive"); the union follows.
        const refusal = this.ask(entry.text);
        if (refusal !== null) {
          this.refresh();
          return { error: refusal };
        }
        entry.pid = this.shown.pid;
        entry.start = this.fake ? null : startTime(entry.pid);
      }
      this.holds.push(entry);
      const refusal = this.settle();
      if (refusal !== null) {
        this.holds.pop();
        this.refresh();
        return { error: refusal };
      }
      this.arm();
      return { entry };
    } catch (e) {
      return { error: e.message };
    }
  }

  release(entry) {
    const at = this.holds.indexOf(entry);
    if (at < 0) return;
    this.holds.splice(at, 1);
    this.refresh();
  }

  held(entry) {
    if (!this.holds.includes(entry)) return false;
    this.refresh();
    return this.holds.includes(entry);
  }

  status() {
    try {
      return { status: this.lib().status() };
    } catch (e) {
      return { error: e.message };
    }
  }

  libraryPath() {
    try {
      return { path: this.lib().path };
    } catch (e) {
      return { error: e.message };
    }
  }

  // Ends the holds whose time is up or whose process has ended, and asks
  // for what the rest need. Should that be refused, the library holds
  // nothing, and so no hold is in force.
  refresh() {
    this.sweep();
    this.verify();
    if (this.settle() !== null) this.holds = [];
    this.arm();
  }

  sweep() {
    const now = performance.now();
    this.holds = this.holds.filter((e) => !(e.deadline !== null && e.deadline <= now)
      && !(e.bound && !this.fake && startTime(e.pid) !== e.start));
  }

  // When another copy or the host has replaced or ended the activation, this
  // registry's holds end there, and the library is asked nothing.
  verify() {
    if (this.asked === null || this.ours()) return;
    this.holds = [];
    this.asked = null;
    this.shown = null;
  }

  ours() {
    let now;
    try {
      now = this.lib().status();
    } catch {
      return true; // the status could not be read: nothing says otherwise
    }
    return now.active === 1 && FINGERPRINT.every((key) => now[key] === this.shown[key]);
  }

  // Asks for the union when it differs from what was asked last; null, or
  // the refusal's message.
  settle() {
    const text = this.union();
    if (text === this.asked) return null;
    if (text !== null) return this.ask(text);
    this.lib().off();
    this.asked = null;
    this.shown = null;
    return null;
  }

  ask(text) {
    const refusal = this.lib().on(text);
    this.asked = refusal === null ? text : null;
    this.shown = refusal === null ? this.lib().status() : null;
    return refusal;
  }

  union() {
    if (this.holds.length === 0) return null;
    if (this.holds.length === 1) return this.alone(this.holds[0]);
    const { name, app } = this.holds[0].request;
    const keep = this.holds.some((e) => e.request.keep_display);
    return JSON.stringify(Object.assign({ mode: 'indefinite', keep_display: keep }, name && { name }, app && { app }));
  }

  alone(entry) {
    if (entry.text === this.asked || (!entry.bound && entry.deadline === null)) return entry.text;
    const { keep_display: keep, name, app } = entry.request;
    const end = entry.bound ? { mode: 'while_pid', pid: entry.pid }
      : { mode: 'minutes', seconds: Math.ceil((entry.deadline - performance.now()) / 1000) };
    return JSON.stringify(Object.assign(end, { keep_display: keep }, name && { name }, app && { app }));
  }

  // One timer, unref'd so that it never keeps the process alive, for the
  // nearest deadline or the next look at the holds' processes.
  arm() {
    clearTimeout(this.timer);
    this.timer = null;
    let wait = Infinity;
    for (const e of this.holds) {
      if (e.deadline !== null) wait = Math.min(wait, e.deadline - performance.now());
      if (e.bound && !this.fake) wait = Math.min(wait, PROCESS_POLL_MS);
    }
    if (wait === Infinity) return;
    this.timer = setTimeout(() => {
      try {
        this.refresh();
      } catch {
        // Only a status that could not be read (memory ran out): the next
        // call on a hold tries again, and says so.
      }
    }, Math.min(Math.max(Math.ceil(wait), 1), LONGEST_TIMER_MS));
    this.timer.unref();
  }
}

function registry() {
  if (!globalThis[KEY]) globalThis[KEY] = new Registry();
  return globalThis[KEY];
}

module.exports = { registry, ANOTHER_COPY };
