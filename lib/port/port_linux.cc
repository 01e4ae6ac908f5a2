// port_linux.cc: the Linux side of port.h.
#include "port/port.h"
