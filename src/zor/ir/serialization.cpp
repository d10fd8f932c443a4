#include "core/python.hpp"

NB_MODULE(serialization, m) {
    zor::py::init(m);
}
