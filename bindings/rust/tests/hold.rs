//! The crate's API once, against logind: a hold is in systemd-inhibit's list
//! until it is dropped, and a refusal is the library's message with nothing
//! held. One test: the library's state is the process's, and the test
//! harness runs tests side by side.
use std::process::Command;
use std::thread::sleep;
use std::time::{Duration, Instant};

fn listed(why: &str) -> bool {
    let out = Command::new("systemd-inhibit").args(["--list", "--no-pager"]).output().expect("systemd-inhibit");
    String::from_utf8_lossy(&out.stdout).contains(why)
}

fn eventually(predicate: impl Fn() -> bool) -> bool {
    let deadline = Instant::now() + Duration::from_secs(5);
    while Instant::now() < deadline {
        if predicate() {
            return true;
        }
        sleep(Duration::from_millis(20));
    }
    predicate()
}

#[test]
fn holds_until_dropped_and_refusals_hold_nothing() {
    let awake = korvel::Hold::new(korvel::Options::new().minutes(30.0).name("rust \"hold\"")).expect("hold");
    let status = korvel::status().expect("status");
    assert!(status.active, "{}", status.json);
    assert_eq!((status.mode.as_str(), status.name.as_str()), ("minutes", "rust \"hold\""));
    assert!(eventually(|| listed("rust \"hold\"")), "not in systemd-inhibit --list");
    assert!(korvel::Hold::new(korvel::Options::new()).is_err(), "a second hold was taken");
    drop(awake);
    assert!(!korvel::status().expect("status").active);
    assert!(eventually(|| !listed("rust \"hold\"")), "still listed");

    let refused = korvel::Hold::new(korvel::Options::new().pid(-4)).expect_err("held for pid -4");
    assert_eq!(refused.message(), "while_pid requires positive pid");
    assert!(!korvel::status().expect("status").active);
}
