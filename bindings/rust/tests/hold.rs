//! The crate's API against logind: a hold is in systemd-inhibit's list, under
//! its app's name, until it is dropped; holds taken and dropped on many
//! threads at once leave the others in force. One test: the library's state
//! is the process's, and the test harness runs tests side by side.
use korvel::{Hold, Options};
use std::process::Command;
use std::thread::sleep;
use std::time::{Duration, Instant};

fn listed(text: &str) -> bool {
    let out = Command::new("systemd-inhibit")
        .args(["--list", "--no-pager"])
        .output()
        .expect("systemd-inhibit");
    String::from_utf8_lossy(&out.stdout).contains(text)
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
fn holds_until_dropped_beside_holds_on_other_threads() {
    let awake = Hold::new(
        Options::new()
            .minutes(30.0)
            .name("rust \"hold\"")
            .app("Rust Photo Export"),
    )
    .expect("hold");
    let status = korvel::status().expect("status");
    assert_eq!(
        (status.mode.as_str(), status.name.as_str()),
        ("minutes", "rust \"hold\""),
        "{}",
        status.json
    );
    assert!(
        eventually(|| listed("rust \"hold\"") && listed("Rust Photo Export")),
        "not in systemd-inhibit --list"
    );

    let threads: Vec<_> = (0..8)
        .map(|_| {
            std::thread::spawn(|| {
                for display in [true, false].iter().cycle().take(20) {
                    let hold = Hold::new(Options::new().display(*display)).expect("a hold beside the others");
                    assert!(hold.held());
                }
            })
        })
        .collect();
    threads.into_iter().for_each(|t| t.join().expect("thread"));
    assert!(awake.held());
    let status = korvel::status().expect("status");
    assert_eq!(
        (status.mode.as_str(), status.name.as_str(), status.keep_display),
        ("minutes", "rust \"hold\"", false)
    );

    drop(awake);
    assert!(!korvel::status().expect("status").active);
    assert!(eventually(|| !listed("rust \"hold\"")), "still listed");
}
