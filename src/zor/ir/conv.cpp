#include "core/python.hpp"

NB_MODULE(conv, m) {
    zor::py::init(m);
}
