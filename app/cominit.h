// The process's entry into the management interface's object runtime: the
// call point where start-up joins the multithreaded apartment and sets the
// process-wide call security (packet authentication, impersonation), before
// any server or subscription thread exists. Called once, on the main thread,
// in console mode before the server is created and in service mode before
// the service dispatcher starts.
#pragma once

// Prepares the management interface for use by every later thread. Failures
// are ignored by the callers. Does nothing yet: the management interface of
// this build needs no process-wide preparation.
void InitializeCom();
