// Linked into both programs in place of the runtime's default handler for
// an exception that nobody catches. That handler describes the exception
// on standard error, which a windowed program does not have, and brings
// the runtime's symbol-name decoder along, a tenth of each program. This
// one ends the program the same way, without the text.
#include <cstdlib>
#include <exception>

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}
