#include "core/python.hpp"

NB_MODULE(linear, m) {
    zor::py::init(m);
}
