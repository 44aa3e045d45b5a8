// Machine-class query of the simulated machine.
//
// The device asks the operating system which hardware class it runs on before it
// registers anything. glibc's sysinfo() is an unrelated call, so the query lives
// under its own name. Tests may change the answer to exercise every outcome.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum { OS_SI_MACHINE = 5 };

// System-information query in the System V style: for OS_SI_MACHINE, copies the
// machine class and its terminating NUL into buf, truncated to count bytes (a cut
// string has no NUL), and returns the length of the whole string plus one.
// Returns -1 for any other command, a negative count, or when the query is made to fail.
long os_sysinfo(int command, char *buf, long count);

// Sets the class the query reports ("vor4u" by default); null makes the query fail.
void os_set_machine_class(const char *machine_class);

// Restores the default class.
void os_reset_machine_class(void);

#ifdef __cplusplus
}
#endif
