//! The holds in force in this process, and the one activation the library
//! keeps for it. Any number of holds may be in force; the registry asks the
//! library for their union whenever they change:
//!
//! - no hold: the activation is ended;
//! - one hold: exactly its request (after others ended: a timed hold with the
//!   seconds it has left, a process-bound one by the process id found when it
//!   was taken);
//! - several: an indefinite activation, the display kept on if any hold asks
//!   for it, named after the oldest hold. A watcher thread ends timed holds
//!   at their deadline and process-bound ones within 500 ms of their
//!   process's end, and asks again.
//!
//! Another copy of the crate in the program (another version), or the host
//! calling the library itself, has a registry of its own: this one never
//! takes the activation while another holds it, and never changes an
//! activation that is no longer the one it asked for.
use crate::json;
use crate::options::{End, Request};
use crate::{sys, Error, Status};
use std::ffi::{CStr, CString};
use std::sync::{Condvar, Mutex, MutexGuard};
use std::thread::JoinHandle;
use std::time::{Duration, Instant};

pub(crate) const ANOTHER_COPY: &str = "the library's activation belongs to another copy of korvel in this \
    process (a worker thread, a plugin, a second copy of the package, or a direct kor_on call): holds of \
    different copies cannot be combined";
const FAKE_MECHANISM: &str = "fake (KORVEL_FAKE_SUCCESS)";
const PROCESS_POLL: Duration = Duration::from_millis(500);

struct Entry {
    id: u64,
    request: Request,
    text: String,
    /// Taken before the library is asked, so never after the library's own.
    deadline: Option<Instant>,
    /// A process-bound hold's process, and its start time while it lives.
    pid: i64,
    start: Option<String>,
}

/// What the status showed right after the library granted a request.
#[derive(PartialEq)]
struct Fingerprint {
    active: bool,
    mode: String,
    name: String,
    keep_display: bool,
    pid: i64,
}

struct Registry {
    /// The process these holds belong to: a forked child starts with none.
    owner: u32,
    /// KORVEL_FAKE_SUCCESS, read once; with it, `fake` is what is held.
    pretend: Option<bool>,
    fake: Option<(Request, Option<Instant>)>,
    next_id: u64,
    holds: Vec<Entry>, // oldest first
    asked: Option<String>,
    shown: Option<Fingerprint>,
    /// The watcher thread that is to run, by the number it was started with:
    /// one told to stop may still be on its way out when the next starts.
    watching: Option<u64>,
    started: u64,
    watcher: Option<JoinHandle<()>>,
}

static REGISTRY: Mutex<Registry> = Mutex::new(Registry {
    owner: 0,
    pretend: None,
    fake: None,
    next_id: 0,
    holds: Vec::new(),
    asked: None,
    shown: None,
    watching: None,
    started: 0,
    watcher: None,
});
static WAKE: Condvar = Condvar::new();

fn lock() -> MutexGuard<'static, Registry> {
    let mut registry = REGISTRY.lock().unwrap_or_else(|poisoned| poisoned.into_inner());
    if registry.owner != std::process::id() {
        if let Some(parents) = registry.watcher.take() {
            std::mem::forget(parents); // that thread is the parent's: there is nothing to join here
        }
        registry.owner = std::process::id();
        registry.holds.clear();
        registry.asked = None;
        registry.shown = None;
        registry.watching = None;
    }
    registry
}

/// Runs `change` on the registry, then starts, wakes or stops the watcher
/// for what the holds now need, joining a stopped one outside the lock.
fn changing<T>(change: impl FnOnce(&mut Registry) -> T) -> T {
    let mut registry = lock();
    let out = change(&mut registry);
    let stopped = registry.arm();
    drop(registry);
    if let Some(thread) = stopped {
        let _ = thread.join();
    }
    out
}

pub(crate) fn take(request: Request) -> Result<u64, Error> {
    changing(|registry| registry.take(request))
}

pub(crate) fn release(id: u64) {
    changing(|registry| {
        let before = registry.holds.len();
        registry.holds.retain(|e| e.id != id);
        if registry.holds.len() != before {
            registry.refresh();
        }
    })
}

pub(crate) fn held(id: u64) -> bool {
    changing(|registry| {
        registry.holds.iter().any(|e| e.id == id) && {
            registry.refresh();
            registry.holds.iter().any(|e| e.id == id)
        }
    })
}

pub(crate) fn status() -> Result<Status, Error> {
    lock().status()
}

fn watch(me: u64) {
    let mut registry = lock();
    while registry.watching == Some(me) {
        registry.refresh();
        match registry.next_wake() {
            Some(wait) => registry = WAKE.wait_timeout(registry, wait).unwrap_or_else(|p| p.into_inner()).0,
            None => registry.watching = None,
        }
    }
}

// The process's start time (field 22 of /proc/PID/stat), or None once it has
// ended (gone, a zombie, being reaped).
fn start_time(pid: i64) -> Option<String> {
    let stat = std::fs::read_to_string(format!("/proc/{}/stat", pid)).ok()?;
    let mut fields = stat[stat.rfind(')')? + 2..].split(' ');
    if matches!(fields.next(), Some("Z") | Some("X")) {
        return None;
    }
    fields.nth(18).map(str::to_owned)
}

fn fake_requested() -> bool {
    let value = std::env::var("KORVEL_FAKE_SUCCESS").unwrap_or_default().to_lowercase();
    !matches!(value.as_str(), "" | "0" | "false" | "no")
}

impl Registry {
    fn pretending(&mut self) -> bool {
        *self.pretend.get_or_insert_with(fake_requested)
    }

    fn take(&mut self, request: Request) -> Result<u64, Error> {
        self.sweep();
        self.verify();
        if self.holds.is_empty() {
            self.settle()?;
            if self.status()?.active {
                return Err(Error::new(ANOTHER_COPY.to_owned()));
            }
        }
        self.next_id += 1;
        let text = request.to_json();
        let deadline = request.duration().map(|d| Instant::now() + d);
        let mut entry = Entry {
            id: self.next_id,
            request,
            text,
            deadline,
            pid: 0,
            start: None,
        };
        if entry.request.bound_to_process() {
            // Asked alone first, so that a refusal is the library's own
            // ("pid 4242 is not alive"); the union follows.
            if let Err(refusal) = self.ask(entry.request.clone()) {
                self.refresh();
                return Err(refusal);
            }
            entry.pid = self.shown.as_ref().map_or(0, |shown| shown.pid);
            entry.start = start_time(entry.pid);
        }
        self.holds.push(entry);
        if let Err(refusal) = self.settle() {
            self.holds.pop();
            self.refresh();
            return Err(refusal);
        }
        Ok(self.next_id)
    }

    /// Ends the holds whose time is up or whose process has ended, and asks
    /// for what the rest need. Should that be refused, the library holds
    /// nothing, and so no hold is in force.
    fn refresh(&mut self) {
        self.sweep();
        self.verify();
        if self.settle().is_err() {
            self.holds.clear();
        }
    }

    fn sweep(&mut self) {
        let now = Instant::now();
        let pretending = self.pretending();
        self.holds.retain(|e| {
            e.deadline.map_or(true, |d| d > now)
                && (pretending || !e.request.bound_to_process() || start_time(e.pid) == e.start)
        });
    }

    /// When another copy or the host has replaced or ended the activation,
    /// this registry's holds end there, and the library is asked nothing.
    fn verify(&mut self) {
        if self.asked.is_none() {
            return;
        }
        let ours = match self.status() {
            Ok(now) => self.shown.as_ref() == Some(&fingerprint(&now)) && now.active,
            Err(_) => true, // the status could not be read: nothing says otherwise
        };
        if !ours {
            self.holds.clear();
            self.asked = None;
            self.shown = None;
        }
    }

    /// Asks for the union when it differs from what was asked last.
    fn settle(&mut self) -> Result<(), Error> {
        let wanted = self.union();
        if wanted.as_ref().map(Request::to_json) == self.asked {
            return Ok(());
        }
        match wanted {
            Some(request) => self.ask(request),
            None => {
                if self.pretending() {
                    self.fake = None;
                } else {
                    // SAFETY: no arguments; always succeeds.
                    unsafe { sys::kor_off() };
                }
                self.asked = None;
                self.shown = None;
                Ok(())
            }
        }
    }

    fn ask(&mut self, request: Request) -> Result<(), Error> {
        let text = request.to_json();
        self.asked = None;
        self.shown = None;
        if self.pretending() {
            let until = request.duration().map(|d| Instant::now() + d);
            self.fake = Some((request, until));
        } else {
            let c_text = CString::new(text.clone()).map_err(|_| Error::new("the options hold a NUL".to_owned()))?;
            // SAFETY: a NUL-terminated text, only read during the call.
            if unsafe { sys::kor_on(c_text.as_ptr()) } != 1 {
                return Err(Error::last());
            }
        }
        self.shown = Some(fingerprint(&self.status()?));
        self.asked = Some(text);
        Ok(())
    }

    fn union(&self) -> Option<Request> {
        match self.holds.as_slice() {
            [] => None,
            [only] => Some(self.alone(only)),
            [oldest, ..] => Some(Request {
                end: End::Never,
                display: self.holds.iter().any(|e| e.request.display),
                name: oldest.request.name.clone(),
                app: oldest.request.app.clone(),
            }),
        }
    }

    fn alone(&self, entry: &Entry) -> Request {
        if Some(&entry.text) == self.asked.as_ref() || entry.request.end == End::Never {
            return entry.request.clone();
        }
        let end = match entry.deadline {
            // Whole seconds left, rounded up: the watcher ends it first.
            Some(deadline) => {
                let left = deadline.saturating_duration_since(Instant::now());
                End::Seconds(((left.as_millis() + 999) / 1000) as u32)
            }
            None => End::Pid(entry.pid as i32),
        };
        Request {
            end,
            ..entry.request.clone()
        }
    }

    /// How long the watcher may sleep: until the nearest deadline, or the
    /// next look at the holds' processes; None when nothing needs watching.
    fn next_wake(&mut self) -> Option<Duration> {
        let pretending = self.pretending();
        let now = Instant::now();
        let deadlines = self
            .holds
            .iter()
            .filter_map(|e| e.deadline.map(|d| d.saturating_duration_since(now)));
        let polls = self
            .holds
            .iter()
            .filter(|e| !pretending && e.request.bound_to_process())
            .map(|_| PROCESS_POLL);
        deadlines.chain(polls).min()
    }

    /// Starts or wakes the watcher when the holds need one, or tells it to
    /// stop; a thread that has stopped is handed back to be joined. Should no
    /// thread start, `held()` still ends holds when asked.
    fn arm(&mut self) -> Option<JoinHandle<()>> {
        WAKE.notify_all();
        if self.next_wake().is_none() {
            self.watching = None;
            return self.watcher.take();
        }
        if self.watching.is_some() {
            return None;
        }
        let stopped = self.watcher.take();
        self.started += 1;
        let me = self.started;
        self.watcher = std::thread::Builder::new()
            .name("korvel holds".into())
            .spawn(move || watch(me))
            .ok();
        self.watching = self.watcher.as_ref().map(|_| me);
        stopped
    }

    fn status(&mut self) -> Result<Status, Error> {
        if !self.pretending() {
            return library_status();
        }
        if self
            .fake
            .as_ref()
            .map_or(false, |(_, until)| until.map_or(false, |u| u <= Instant::now()))
        {
            self.fake = None;
        }
        Ok(Status::from_json(&fake_status(self.fake.as_ref())))
    }
}

fn fingerprint(status: &Status) -> Fingerprint {
    Fingerprint {
        active: status.active,
        mode: status.mode.clone(),
        name: status.name.clone(),
        keep_display: status.keep_display,
        pid: status.pid,
    }
}

fn fake_status(held: Option<&(Request, Option<Instant>)>) -> String {
    let (mode, left, display, pid, name) = match held {
        None => ("none", 0, false, 0, String::new()),
        Some((request, until)) => {
            let left = until.map_or(0, |u| {
                (u.saturating_duration_since(Instant::now()).as_millis() + 999) / 1000
            });
            let mode = match request.end {
                End::Never => "indefinite",
                End::Minutes(_) | End::Seconds(_) => "minutes",
                End::Pid(_) => "while_pid",
                End::Process => "while_process",
            };
            let pid = if let End::Pid(p) = request.end { p } else { 0 };
            (mode, left, request.display, pid, request.name.clone())
        }
    };
    format!(
        "{{\"active\":{},\"mode\":\"{}\",\"remaining_s\":{},\"keep_display\":{},\"platform\":\"linux\",\
         \"mechanism\":\"{}\",\"pid\":{},\"name\":{}}}",
        u8::from(held.is_some()),
        mode,
        left,
        u8::from(display),
        FAKE_MECHANISM,
        pid,
        json::quoted(&name)
    )
}

fn library_status() -> Result<Status, Error> {
    // SAFETY: the text is the caller's until handed back to kor_free_string.
    unsafe {
        let text = sys::kor_status();
        if text.is_null() {
            return Err(Error::last());
        }
        let json = CStr::from_ptr(text).to_string_lossy().into_owned();
        sys::kor_free_string(text.cast());
        Ok(Status::from_json(&json))
    }
}
