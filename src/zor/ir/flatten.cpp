#include "core/python.hpp"

NB_MODULE(flatten, m) {
    zor::py::init(m);
}
