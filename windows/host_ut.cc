// SPDX-License-Identifier: BSD-3-Clause
// libut of the test host: no Ctrl-C is ever pending.
extern "C" bool utIsInterruptPending(void) { return false; }
