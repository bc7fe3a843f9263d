#pragma once

#include <functional>

// Waits in the test's thread. The machines that run the tests are busy, so deadlines are
// generous: a wait that succeeds returns as soon as its condition holds, and only a failing
// test pays for the whole deadline.

// Runs the calling thread's event loop until `condition` holds or `timeoutMs` passed; once
// the deadline has passed, pending events are processed and the condition is checked one last
// time, so a thread that was descheduled past the deadline does not fail a test. Objects
// released with deleteLater() are deleted during the wait, as in a running event loop.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 10000);

// Runs the event loop for `ms`, to show that something does NOT happen meanwhile.
void spinFor(int ms);

// Like waitUntil, but without running the event loop: for conditions that other threads make
// true while whatever they send to this thread must stay queued.
bool waitUntilWithoutEvents(const std::function<bool()> &condition, int timeoutMs = 10000);
