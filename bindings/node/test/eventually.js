'use strict';
// Polls until what another process does later has happened, or ms is up.
async function eventually(predicate, ms = 5000) {
  for (const end = Date.now() + ms; Date.now() < end;) {
    if (predicate()) return true;
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  return predicate();
}

module.exports = { eventually };
