// The Python class IMUPacket: an immutable object holding one packet record.
//
// The record sits inline after the object header, moved in when the object is
// made and destroyed when it dies; nothing else ever touches it, so reading a
// property needs no guard. Objects are made and dropped at the device's data
// rate, so their memory goes round a small process-wide free list instead of
// back to the interpreter's allocator.
//
// Type references and the free list: a stored block gives up the reference to
// the type that its object held, and a block taken back takes a new one (the
// header is set up with PyObject_Init, exactly as for fresh memory). So the
// type's reference count is always the number of live packet objects plus the
// references held elsewhere, whatever the free list holds.

#include "lib/packet_object.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "lib/boundary.hpp"
#include "lib/owned_ref.hpp"
#include "lib/types.hpp"
#include "protocol/packet_schema.hpp"
#include "protocol/packet_text.hpp"

namespace brimlet::py {
namespace {

struct PacketObject {
    PyObject_HEAD
    IMUPacket record;
};

// The interpreter's allocators align objects to 16 bytes.
static_assert(alignof(PacketObject) <= 16);

IMUPacket& record_of(PyObject* self) { return reinterpret_cast<PacketObject*>(self)->record; }

// ---- the free list ----------------------------------------------------------

// Released object memory kept for the next packet objects: a stack, last in
// first out. The lock is held for one push or pop only, never while calling
// into the interpreter; a look at the count first spares it when the stack
// is full (most releases of a large batch) or empty.
class FreeList {
public:
    static constexpr std::size_t kCapacity = 20;

    // Up to `wanted` stored blocks, most recent first, into `out`; how many.
    std::size_t pop_many(void** out, std::size_t wanted) {
        if (count_.load(std::memory_order_relaxed) == 0) return 0;
        std::lock_guard guard(lock_);
        std::size_t count = count_.load(std::memory_order_relaxed);
        const std::size_t taken = std::min(wanted, count);
        for (std::size_t k = 0; k < taken; ++k) out[k] = blocks_[--count];
        count_.store(count, std::memory_order_relaxed);
        return taken;
    }

    // Stores `block` while the stored count stays below the capacity (so at
    // most kCapacity - 1 blocks are kept); false when it was not stored.
    bool push(void* block) {
        if (count_.load(std::memory_order_relaxed) + 1 >= kCapacity) return false;
        std::lock_guard guard(lock_);
        const std::size_t count = count_.load(std::memory_order_relaxed);
        if (count + 1 >= kCapacity) return false;
        blocks_[count] = block;
        count_.store(count + 1, std::memory_order_relaxed);
        return true;
    }

private:
    std::mutex lock_;
    std::array<void*, kCapacity> blocks_{};
    std::atomic<std::size_t> count_ = 0;  // written under the lock only
};

constinit FreeList free_list;

// New reference to an uninitialised packet object of `type` (the IMUPacket
// type): a recycled block when one is stored, fresh memory otherwise. nullptr
// with an exception set.
PyObject* fresh_block(PyTypeObject* type) {
    void* block = PyObject_Malloc(sizeof(PacketObject));
    if (block == nullptr) return PyErr_NoMemory();
    return PyObject_Init(static_cast<PyObject*>(block), type);
}

PyObject* take_block(PyTypeObject* type) {
    void* block = nullptr;
    if (free_list.pop_many(&block, 1) == 1) return PyObject_Init(static_cast<PyObject*>(block), type);
    return fresh_block(type);
}

// The type's allocation slot: the free list serves exactly IMUPacket with no
// items; anything else goes to the interpreter's generic allocator.
PyObject* alloc_packet(PyTypeObject* type, Py_ssize_t nitems) {
    if (nitems == 0 && type == imu_packet_type()) return take_block(type);
    return PyType_GenericAlloc(type, nitems);
}

// The type's release slot. Keeps the block if the free list has room, frees
// it otherwise; either way the object's reference to its type goes.
void free_packet(void* block) {
    PyTypeObject* type = Py_TYPE(static_cast<PyObject*>(block));
    if (type != imu_packet_type() || !free_list.push(block)) {
        if (PyType_IS_GC(type)) {
            PyObject_GC_Del(block);
        } else {
            PyObject_Free(block);
        }
    }
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) Py_DECREF(type);
}

// The record is plain data: nothing to release when the object goes.
static_assert(std::is_trivially_copyable_v<IMUPacket> && std::is_trivially_destructible_v<IMUPacket>);

void dealloc_packet(PyObject* self) { free_packet(self); }

// ---- property values --------------------------------------------------------

// Each getter returns a new reference, or nullptr with an exception set.

PyObject* get_packet_type(PyObject* self, void*) {
    const std::string_view name = schema::kKindNames[static_cast<std::size_t>(record_of(self).kind)];
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* get_timestamp(PyObject* self, void*) {
    const Timestamp value = record_of(self).timestamp();
    return PyLong_FromNativeBytes(&value, sizeof value,
                                  Py_ASNATIVEBYTES_NATIVE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER);
}

PyObject* get_invalid_fields(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const std::optional<std::string> text = invalid_fields_text(record_of(self));
        if (!text) return Py_NewRef(Py_None);
        return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
    });
}

// The exact widening to double: no rounding to fewer decimal digits.
PyObject* to_python(float value) { return PyFloat_FromDouble(static_cast<double>(value)); }

// Schema field `Field`: None when absent, a float for a single value, else a
// new list every time (so that changing it never reaches the packet).
template <std::size_t Field>
PyObject* get_field(PyObject* self, void*) {
    const IMUPacket& record = record_of(self);
    if (!record.has(Field)) return Py_NewRef(Py_None);
    const std::span<const float> values = record.field_values(Field);
    if constexpr (schema::kFields[Field].width == 1) {
        return to_python(values[0]);
    } else {
        constexpr auto n = static_cast<Py_ssize_t>(schema::kFields[Field].width);
        OwnedRef list = OwnedRef::steal(PyList_New(n));
        if (!list) return nullptr;
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject* item = to_python(values[static_cast<std::size_t>(k)]);
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), k, item);
        }
        return list.release();
    }
}

// ---- the text form ----------------------------------------------------------

bool is_packet(PyObject* self) {
    PyTypeObject* type = imu_packet_type();
    return type != nullptr && Py_IS_TYPE(self, type);
}

PyObject* packet_str(PyObject* self) {
    if (!is_packet(self)) {
        if (!PyErr_Occurred()) set_type_mismatch(self, "IMUPacket");
        return nullptr;
    }
    return guarded([&] {
        const std::string text = packet_text(record_of(self));
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

// ---- tables -----------------------------------------------------------------

// packet_type, timestamp, invalid_fields, then the schema's fields in order.
template <std::size_t... I>
constexpr auto make_properties(std::index_sequence<I...>) {
    return std::array<PyGetSetDef, 4 + sizeof...(I)>{{
        {"packet_type", get_packet_type, nullptr, nullptr, nullptr},
        {"timestamp", get_timestamp, nullptr, nullptr, nullptr},
        {"invalid_fields", get_invalid_fields, nullptr, nullptr, nullptr},
        {schema::kFields[I].name.data(), get_field<I>, nullptr, nullptr, nullptr}...,
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    }};
}

auto packet_properties = make_properties(std::make_index_sequence<schema::kFieldCount>{});

PyType_Slot packet_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_packet)},
    {Py_tp_getset, packet_properties.data()},
    {Py_tp_str, reinterpret_cast<void*>(packet_str)},
    {Py_tp_alloc, reinterpret_cast<void*>(alloc_packet)},
    {Py_tp_free, reinterpret_cast<void*>(free_packet)},
    {0, nullptr},
};

PyType_Spec packet_spec = {
    .name = "builtins.IMUPacket",
    .basicsize = static_cast<int>(sizeof(PacketObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = packet_slots,
};

}  // namespace

PyObject* make_imu_packet_type() { return PyType_FromSpec(&packet_spec); }

PyObject* packets_to_list(PacketBatch&& batch) {
    // Owned here, so that every record not yet moved into an object is
    // released on every way out.
    PacketBatch records = std::move(batch);
    PyTypeObject* type = imu_packet_type();
    if (type == nullptr) return nullptr;
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) return nullptr;
    // The stored blocks first, taken at once, then fresh memory.
    void* recycled[FreeList::kCapacity];
    const std::size_t stored = free_list.pop_many(recycled, std::min(records.size(), FreeList::kCapacity));
    std::size_t filled = 0;
    bool failed = false;
    records.consume([&](IMUPacket&& record) {
        if (failed) return;
        PyObject* packet = filled < stored ? PyObject_Init(static_cast<PyObject*>(recycled[filled]), type)
                                           : fresh_block(type);
        if (packet == nullptr) {
            failed = true;  // the list, with its empty slots, goes with `list`
            return;
        }
        std::construct_at(&record_of(packet), record);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(filled++), packet);
    });
    if (failed) return nullptr;
    return list.release();
}

}  // namespace brimlet::py
