#pragma once

struct CliOptions;

// The list command: every attached programmer with its --device number, serial number,
// description, state and firmware version, as a table or as JSON. Returns the exit status.
int listProgrammers(const CliOptions &options);
