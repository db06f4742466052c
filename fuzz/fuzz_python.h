// Shared set-up of the fuzz targets: one embedded interpreter per process.
#pragma once

// Starts the interpreter as the configured Python executable (so its venv's
// packages import) and keeps it for the life of the process; the calling
// thread holds the GIL afterwards.
void startPython();
