// Marks built in records the caller provides, and the wait below the
// readiness calls.
#pragma once

#include <cstdint>

#include "api/qvlink.h"
#include "api/qvlinkmark.h"
#include "api/qvreadywait.h"

// Builds the mark in place at the current read position: the mark, or null
// for null arguments, a link whose error forbids reading, or failure.
QVLinkMark* QVConstructMark(QVLink* link, QVLinkMark* mark) noexcept;
// Takes the mark off the queue stack without freeing it; nulls ignored.
void QVDeconstructMark(QVLink* link, QVLinkMark* mark) noexcept;

// Waits for one of the n links to have something to read: its index, -2 on
// the time-out, -3 for no links, -1 on failure. Both time-out fields -1:
// no time-out.
int unix_ready_parallel(readyParallelEnv* wait, QVLink** links, int n, long seconds, long microseconds) noexcept;
