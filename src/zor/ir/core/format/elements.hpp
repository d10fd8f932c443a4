// The element types of the file format: one table for both directions
// (NumPy dtypes written, HDF5 datatypes read), shared by both walks.
#pragma once

#include "core/nodes/python.hpp"

#include <hdf5.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zor::format {

namespace nb = nanobind;

// ---------------------------------------------------------------- elements

// The element types a file holds, one table for both directions:
//
//   kind      NumPy              HDF5 (as h5py writes it)
//   Bool      bool               enum {FALSE = 0, TRUE = 1} over int8
//   Int       i1 i2 i4 i8        STD_I8 .. STD_I64, either byte order
//   Uint      u1 u2 u4 u8        STD_U8 .. STD_U64, either byte order
//   Float     f2 f4 f8           IEEE half (h5py's layout), IEEE_F32, IEEE_F64
//   Complex   c8 c16             compound {r, i} of two F32 or two F64
//   Bytes     S<n>               fixed-length string of n bytes, NUL-padded
//   Text      object (strs)      variable-length string, UTF-8
//
// and the types only read (no value the writer stores has one), as h5py
// reads them:
//   Enum      its base integer   enumeration other than the boolean: the values
//   Bitfield  u1 u2 u4 u8        bitfield, either byte order
//   Opaque    V<n>               opaque of n bytes, any tag
//   Compound  structured         compound other than a complex number: the
//                                members' names, offsets and types, its size
//   Array     subarray           fixed-size array, as a member of a compound
//   Sequence  object (arrays)    variable-length sequence of numbers (Bool to
//                                Complex): 1-D arrays of their native dtype
struct Element {
    enum Kind : std::uint8_t {
        Bool, Int, Uint, Float, Complex, Bytes, Text,  // written and read
        Enum, Bitfield, Opaque, Compound, Array, Sequence,  // read only
    };
    Kind kind;
    std::uint32_t size = 0;   // bytes per element (both parts for Complex); 0 for Text and Sequence
    bool big_endian = false;  // numbers, enumerations, bitfields
    bool utf8 = true;         // strings: the character set
    bool is_signed = false;   // Enum: its base integer's sign

    // Bool to Complex: what read(mmap=True) maps and write(compression=...) filters.
    bool number() const { return kind <= Complex; }
    // Read as object arrays, their data in the file's global heap.
    bool variable_length() const { return kind == Text || kind == Sequence; }

    // Identifies the element type, for caches.
    std::uint64_t key() const {
        return (std::uint64_t(kind) << 40) | (std::uint64_t(size) << 8) | (std::uint64_t(is_signed) << 2) |
               (std::uint64_t(big_endian) << 1) | std::uint64_t(utf8);
    }
};

// The element type of a NumPy dtype, if a file can hold it (an object dtype
// maps to Text; its elements are checked separately).
std::optional<Element> element_of(PyObject *descr);

// A new NumPy dtype (PyArray_Descr) for an element type read from a file
// (object for Text and Sequence); not for Compound and Array, whose dtypes
// read_dtype() builds from the datatype.
nb::object dtype_of(const Element &element);

// dtype((base, dims)) and dtype({"names", "formats", "offsets", "itemsize"}).
nb::object subarray_dtype(const nb::object &base, const std::vector<hsize_t> &dims);
nb::object structured_dtype(const std::vector<std::string> &names, const std::vector<nb::object> &formats,
                            const std::vector<std::size_t> &offsets, std::size_t itemsize);

// Whether `text` is UTF-8 (h5py decodes member names as UTF-8).
bool is_utf8(const std::string &text);

// Sorts an HDF5 datatype into the element table. `View` answers questions
// about one datatype (native: an hid_t; h5py: a TypeID object), so both
// walks accept and refuse exactly the same types.
struct Classified {
    std::optional<Element> element;
    std::string unsupported = {};  // what the type is, when it is not supported
};

// Where a datatype is met: as a dataset's type, inside a compound (as a
// member or an array's items), or as the items of a variable-length sequence.
enum class Within : std::uint8_t { Dataset, Compound, Sequence };

// Compounds and arrays nested deeper than this are refused.
constexpr int kDeepestNesting = 32;

template <typename View>
Classified classify(const View &type, Within within = Within::Dataset, int depth = 0);

// HDF5 itself refuses compounds without members, with overlapping members,
// members outside them or two members of one name when it opens a dataset.
template <typename View>
Classified classify_compound(const View &type, int depth) {
    auto refuse = [](std::string what) { return Classified{std::nullopt, std::move(what)}; };
    for (int i = 0; i < type.member_count(); ++i) {
        std::string name = type.member_name(i);
        if (!is_utf8(name))
            return refuse("compound member name that is not UTF-8");
        auto member = type.member(i);
        Classified kind = classify(member, Within::Compound, depth + 1);
        if (!kind.element) {  // a member of a member is named by the path of names: 'outer.inner'
            const std::string nested = "compound member '";
            if (kind.unsupported.rfind(nested, 0) == 0)
                return refuse(nested + name + "." + kind.unsupported.substr(nested.size()));
            return refuse(nested + name + "': " + kind.unsupported);
        }
    }
    return {Element{Element::Compound, std::uint32_t(type.size())}};
}

template <typename View>
Classified classify(const View &type, Within within, int depth) {
    auto refuse = [](std::string what) { return Classified{std::nullopt, std::move(what)}; };
    const std::size_t size = type.size();
    const bool in_dataset = within == Within::Dataset, in_compound = within == Within::Compound;
    if (size > std::size_t(INT32_MAX))  // NumPy's limit for an item
        return refuse(std::to_string(size) + "-byte type");
    if (depth > kDeepestNesting)
        return refuse("types nested more than " + std::to_string(kDeepestNesting) + " deep");
    switch (type.type_class()) {
        case H5T_INTEGER:
            if (size != 1 && size != 2 && size != 4 && size != 8)
                return refuse(std::to_string(size) + "-byte integer");
            return {Element{type.is_signed() ? Element::Int : Element::Uint,
                            std::uint32_t(size), type.big_endian()}};
        case H5T_FLOAT:
            if (size != 2 && size != 4 && size != 8)
                return refuse(std::to_string(size) + "-byte float");
            return {Element{Element::Float, std::uint32_t(size), type.big_endian()}};
        case H5T_STRING:
            if (type.variable_string()) {
                if (!in_dataset)
                    return refuse("variable-length string");
                return {Element{Element::Text, 0, false, type.utf8()}};
            }
            if (within == Within::Sequence)
                return refuse("string");
            return {Element{Element::Bytes, std::uint32_t(size), false, type.utf8()}};
        case H5T_ENUM: {
            // h5py's boolean: exactly the members FALSE = 0 and TRUE = 1.
            if (type.member_count() == 2) {
                bool false_first = type.member_name(0) == "FALSE";
                auto [f, t] = false_first ? std::pair{0, 1} : std::pair{1, 0};
                if (type.member_name(f) == "FALSE" && type.member_name(t) == "TRUE" &&
                    type.enum_value(f) == 0 && type.enum_value(t) == 1)
                    return {Element{Element::Bool, 1}};
            }
            if (within == Within::Sequence)
                return refuse("enumeration other than FALSE/TRUE");
            auto base = type.super_type();
            if (base.type_class() != H5T_INTEGER || (size != 1 && size != 2 && size != 4 && size != 8))
                return refuse(std::to_string(size) + "-byte enumeration");
            Element element{Element::Enum, std::uint32_t(size), base.big_endian()};
            element.is_signed = base.is_signed();
            return {element};
        }
        case H5T_COMPOUND:
            // h5py's complex numbers: members r and i of one float type.
            if (type.member_count() == 2 && type.member_name(0) == "r" &&
                type.member_name(1) == "i") {
                auto real = type.member(0), imag = type.member(1);
                std::size_t part = real.size();
                if (real.type_class() == H5T_FLOAT && imag.type_class() == H5T_FLOAT &&
                    (part == 4 || part == 8) && imag.size() == part &&
                    real.big_endian() == imag.big_endian())
                    return {Element{Element::Complex, std::uint32_t(2 * part), real.big_endian()}};
            }
            if (within == Within::Sequence)
                return refuse("compound other than a complex number (r, i)");
            return classify_compound(type, depth);
        case H5T_BITFIELD:
            if (within == Within::Sequence)
                return refuse("bitfield");
            if (size != 1 && size != 2 && size != 4 && size != 8)
                return refuse(std::to_string(size) + "-byte bitfield");
            return {Element{Element::Bitfield, std::uint32_t(size), type.big_endian()}};
        case H5T_OPAQUE:
            // Inside a compound h5py reads only opaque types of its own tag.
            if (!in_dataset)
                return refuse("opaque");
            return {Element{Element::Opaque, std::uint32_t(size)}};
        case H5T_VLEN: {
            if (!in_dataset)
                return refuse("variable-length sequence");
            Classified item = classify(type.super_type(), Within::Sequence, depth + 1);
            if (!item.element || !item.element->number())
                return refuse("variable-length sequence of other than numbers");
            return {Element{Element::Sequence}};
        }
        case H5T_ARRAY: {
            if (!in_compound)
                return refuse("array");
            Classified item = classify(type.super_type(), Within::Compound, depth + 1);
            if (!item.element)
                return refuse("array of " + item.unsupported);
            return {Element{Element::Array, std::uint32_t(size)}};
        }
        case H5T_TIME: return refuse("time");
        case H5T_REFERENCE: return refuse("reference");
        default: return refuse("unknown class");
    }
}

// The NumPy dtype of what a dataset of `type` reads as (h5py's), for a type
// that classify() sorts as `element`.
template <typename View>
nb::object read_dtype(const View &type, const Element &element) {
    switch (element.kind) {
        case Element::Compound: {
            const int count = type.member_count();
            std::vector<std::string> names;
            std::vector<nb::object> formats;
            std::vector<std::size_t> offsets;
            for (int i = 0; i < count; ++i) {
                auto member = type.member(i);
                names.push_back(type.member_name(i));
                formats.push_back(read_dtype(member, *classify(member, Within::Compound).element));
                offsets.push_back(type.member_offset(i));
            }
            return structured_dtype(names, formats, offsets, type.size());
        }
        case Element::Array: {
            auto item = type.super_type();
            return subarray_dtype(read_dtype(item, *classify(item, Within::Compound).element), type.array_dims());
        }
        default: return dtype_of(element);
    }
}

// Arrays of at least this many bytes are big: read(mmap=True) maps them, and
// write(compression=..., checksum=...) stores them in filtered chunks (below
// this size a chunk index costs about as much as compression saves).
constexpr std::uint64_t kBigArray = 64 * 1024;

}  // namespace zor::format
