// Boost.JSON's compiled part, for where no built library of it exists (MinGW-w64): every other
// file uses its headers as usual.
#include <boost/json/src.hpp>
