// The platform half of the pipe's address (service_pipe_win32.cpp,
// service_pipe_linux.cpp).
#pragma once

const char *PIPESYS_DefaultAddress();
