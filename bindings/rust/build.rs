//! Finds the korvel library to link: the folder KORVEL_LIB_DIR names, else
//! the one pkg-config's korvel.pc gives (an install, or the .deb's
//! libkorvel-dev). The crate links libbrenvic-korvel-sleep-blocker.so, the
//! library's lib name, and says where it found it to the build scripts of
//! the crates that use it (DEP_BRENVIC_KORVEL_SLEEP_BLOCKER_LIBDIR).
use std::env;
use std::path::PathBuf;
use std::process::Command;

const LIB_FILE: &str = "libbrenvic-korvel-sleep-blocker.so";

fn holding_the_library(dir: PathBuf) -> Result<PathBuf, String> {
    if dir.join(LIB_FILE).exists() {
        Ok(dir)
    } else {
        Err(format!("{} has no {}", dir.display(), LIB_FILE))
    }
}

fn from_pkg_config() -> Result<PathBuf, String> {
    let out = Command::new("pkg-config")
        .args(["--print-errors", "--variable=libdir", "korvel"])
        .output()
        .map_err(|e| format!("cannot run pkg-config ({})", e))?;
    let said = |text: &[u8]| {
        String::from_utf8_lossy(text)
            .split_whitespace()
            .collect::<Vec<_>>()
            .join(" ")
    };
    if !out.status.success() {
        return Err(said(&out.stderr));
    }
    holding_the_library(PathBuf::from(said(&out.stdout)))
}

fn main() {
    println!("cargo:rerun-if-env-changed=KORVEL_LIB_DIR");
    println!("cargo:rerun-if-env-changed=PKG_CONFIG_PATH");
    let found = match env::var_os("KORVEL_LIB_DIR") {
        Some(dir) => holding_the_library(PathBuf::from(dir)).map_err(|why| format!("KORVEL_LIB_DIR: {}", why)),
        None => from_pkg_config().map_err(|why| format!("KORVEL_LIB_DIR: not set; pkg-config korvel: {}", why)),
    };
    let dir = found.unwrap_or_else(|tried| {
        panic!(
            "korvel's library ({}) was not found.\n  Tried: {}.\n  Install korvel (cmake --install, or the \
             libkorvel-dev .deb) so that pkg-config finds korvel.pc, or set KORVEL_LIB_DIR to the folder that \
             holds {} (a korvel build folder).",
            LIB_FILE, tried, LIB_FILE
        )
    });
    println!("cargo:rustc-link-search=native={}", dir.display());
    println!("cargo:rustc-link-lib=dylib=brenvic-korvel-sleep-blocker");
    // This crate's tests and examples find the library where it was linked.
    // Cargo passes no linker argument on to the programs of crates that use
    // this one: their build.rs gives the rpath from the folder said here.
    println!("cargo:rustc-link-arg=-Wl,-rpath,{}", dir.display());
    println!("cargo:libdir={}", dir.display());
}
