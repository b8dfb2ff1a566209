/* kvtstat: storage of the services' counters (see kvtstat.h). */
#include "kvtstat.h"

kvtstat_compteurs kvtstat{};
