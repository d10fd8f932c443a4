// Move-only RAII handles for HDF5 identifiers and HDF5 error translation.
#pragma once
