//! KORVEL_FAKE_SUCCESS: every hold is granted without asking the library,
//! options are still checked, and the status says so. A process of its own.
use korvel::{Hold, Options};

#[test]
fn the_fake_grants_everything_and_says_so() {
    std::env::set_var("KORVEL_FAKE_SUCCESS", "1");
    let gone = Hold::new(Options::new().pid(2147483647)).expect("granted");
    let timed = Hold::new(Options::new().seconds(1).display(true)).expect("granted");
    let status = korvel::status().unwrap();
    assert_eq!(
        (status.mechanism.as_str(), status.keep_display),
        ("fake (KORVEL_FAKE_SUCCESS)", true)
    );
    assert!(Hold::new(Options::new().minutes(0.0)).is_err());
    let end = std::time::Instant::now() + std::time::Duration::from_secs(10);
    while timed.held() && std::time::Instant::now() < end {
        std::thread::sleep(std::time::Duration::from_millis(20));
    }
    assert!(!timed.held() && gone.held());
    assert_eq!(korvel::status().unwrap().mode, "while_pid");
    drop(gone);
    assert!(!korvel::status().unwrap().active);
}
