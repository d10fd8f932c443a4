#include "core/python.hpp"

NB_MODULE(upsample, m) {
    zor::py::init(m);
}
