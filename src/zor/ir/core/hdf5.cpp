#include "core/hdf5.hpp"
