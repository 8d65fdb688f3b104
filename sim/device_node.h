// The node at which a simulated device is served, shared by fake_adc and
// fake_isp: a FIFO that hands one reader what it should read at each open,
// in lock step with it, and that goes away however the tool ends.
//
// Lock step: once the reader's open has paired with the tool's, and before
// anything is written, a fresh node moves into place. The reader's next
// open, which can only follow its read, then finds that node and waits
// there for the next step instead of joining the one it has just read.
//
// Plain C library calls only: the tools are built with C libraries that
// have no C++ library beside them.
#ifndef LUMENFLIP_SIM_DEVICE_NODE_H
#define LUMENFLIP_SIM_DEVICE_NODE_H

namespace device_node {

// Takes the tool's name (for messages) and the node's path, starts the
// watchdog and installs the handlers that remove the node on every way
// out, SIGKILL included. Exits with status 2 on a path too long.
void start(const char* tool, const char* path);

const char* path();
// Beside the path: where a node is made before it moves into place.
const char* nextPath();

// Says what failed, with errno's text, and exits with status 2.
[[noreturn]] void die(const char* what);

// A FIFO at the path unless there is one.
void makeFifo();
// Moves the node made at nextPath() into place, whatever is at the path.
void moveIntoPlace();
// A fresh FIFO at the path, atomically.
void replaceWithFifo();
// Opens the FIFO at the path for writing: returns once the reader has
// opened it too.
int openForReader();
// Removes whatever is at the path. A reader already waiting in open on a
// FIFO there is let through to an empty read rather than left hanging on
// a node that no writer will ever open again. Async-signal-safe.
void remove();

// Whether the last line of `file` is "on": a camera's mode script records
// each call there. False while it does not exist.
bool lastLineIsOn(const char* file);

// Pauses, resuming after signals.
void pauseSeconds(double seconds);

// Once the script is done: waits for the reader's next open, prints
// "held" and keeps the device open without writing until killed, so that
// everything the reader did before that open has happened.
[[noreturn]] void hold();

}  // namespace device_node

#endif
