// An embedding program that initialises and finalises the interpreter twice, importing the
// module and encoding each round: nothing of the first round may survive into the second.
#include <Python.h>

#include <cstdio>

int main() {
  for (int round = 0; round < 2; ++round) {
    Py_Initialize();
    const int failed = PyRun_SimpleString(
        "import gc, _pelnor\n"
        "tok = _pelnor.Tokenizer('cl100k_base')\n"
        "assert tok.encode('hello world') == [15339, 1917]\n"
        "assert repr(tok) == \"<pelnor.Tokenizer 'cl100k_base'>\"\n"
        "assert type(tok).__name__ == 'Tokenizer' and 'datadir' in type(tok).__doc__\n"
        "assert [m for m in dir(tok) if m == 'decode'] == ['decode']\n"
        "del tok\n"
        "gc.collect()\n");
    if (Py_FinalizeEx() < 0 || failed != 0) {
      std::fprintf(stderr, "round %d failed\n", round + 1);
      return 1;
    }
  }
  return 0;
}
