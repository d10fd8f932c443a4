#include "core/python.hpp"

NB_MODULE(skip, m) {
    zor::py::init(m);
}
