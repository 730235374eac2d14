// MinGW-w64 only. The program catches no exception: a failed allocation ends the process at once. The
// default terminate handler would first print the exception's demangled type, and its demangler alone
// would be a third of the executable; this one just aborts.
#include <cstdlib>

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
