#pragma once
/* The scenarios that are replayed twice, once with the product compiled for
 * the host and once with the shipped 32-bit module under emulation, so that
 * both runs start from exactly the same stand-in state.
 *
 * A scenario is a setup (the registry, faults, components, windows and
 * clock it starts from), the exported action to call and the installation
 * handle to pass. The library that holds this table also holds the stand-in
 * (its C face is sim/c_api.h) and the product compiled for the host. */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int scenario_count(void);
const char* scenario_name(int index);
/* The decorated export name the installer would call: "_CustomInstTMK@4". */
const char* scenario_export(int index);
uint32_t scenario_install_handle(int index);
/* Non-zero: the scenario is also replayed once per platform call of its
 * plain run, with that call failing with this code. */
int32_t scenario_sweep_code(int index);

/* Resets the stand-in and sets the scenario's starting state up. */
void scenario_setup(int index);
/* Calls the scenario's action, compiled for the host, on the stand-in as it
 * is now, and returns the action's result, or SCENARIO_ENDLESS when the
 * action made more platform calls than the stand-in's budget allows. */
uint32_t scenario_run_native(int index);
#define SCENARIO_ENDLESS 0xE0D1E55u

#ifdef __cplusplus
}
#endif
