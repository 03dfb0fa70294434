#include "engine/engine_type.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding/conversions.h"
#include "binding/errors.h"
#include "binding/owned_ref.h"
#include "binding/parameter_table.h"
#include "codec/batch_encode.h"
#include "codec/rule.h"
#include "codec/special_matcher.h"
#include "codec/token_spans.h"
#include "codec/unit_encode.h"
#include "engine/engine_errors.h"
#include "engine/engine_model.h"
#include "engine/gil_release.h"

namespace selvane::engine {
namespace {

using binding::check;
using binding::OwnedRef;
using model::TokenId;

// An instance of `Engine`: the model it was built from, owned and never
// changed, so methods need no borrow flag and may run on many threads.
struct EngineObject {
  PyObject_HEAD const EngineModel* model;
};

PyTypeObject* engine_type_object = nullptr;

using FastcallEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t,
                                    PyObject*) noexcept;

PyCFunction as_cfunction(FastcallEntry entry) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

const EngineModel& model_of(PyObject* self) {
  return *reinterpret_cast<EngineObject*>(self)->model;
}

constexpr const char* kNewKeywords[] = {"model_bytes"};
constexpr binding::ParameterTable kNewParameters = {nullptr, "Engine",
                                                    kNewKeywords, 0, 1};

constexpr const char* kEncodeKeywords[] = {"text", "rule", "allowed"};
constexpr binding::ParameterTable kEncodeParameters = {"Engine", "encode",
                                                       kEncodeKeywords, 0, 2};

constexpr const char* kOffsetsKeywords[] = {"text", "rule", "allowed"};
constexpr binding::ParameterTable kOffsetsParameters = {
    "Engine", "encode_with_offsets", kOffsetsKeywords, 0, 2};

constexpr const char* kBatchKeywords[] = {"texts", "rule", "threads", "flat",
                                          "allowed"};
constexpr binding::ParameterTable kBatchParameters = {"Engine", "encode_batch",
                                                      kBatchKeywords, 0, 4};

constexpr const char* kUnitsKeywords[] = {"texts", "rule", "threads", "allowed",
                                          "eos"};
constexpr binding::ParameterTable kUnitsParameters = {"Engine", "encode_units",
                                                      kUnitsKeywords, 0, 3};

// Returns the rule named by the `str` `object`; ValueError for other names.
codec::Rule to_rule(PyObject* object) {
  const std::string_view name = binding::convert_argument(
      "rule", [&] { return binding::text_view(object); });
  if (const auto rule = codec::rule_named(name)) return *rule;
  throw binding::PyErrOccurred(PyExc_ValueError,
                               "unknown rule '" + std::string(name) +
                                   "': the rules are 'frequency' and 'rank'");
}

// Returns the thread count `object`, an int of at least 1.
std::size_t to_threads(PyObject* object) {
  const Py_ssize_t threads = PyLong_AsSsize_t(object);
  if (threads == -1 && PyErr_Occurred() != nullptr) {
    binding::name_argument_in_error("threads");
    throw binding::PyErrOccurred();
  }
  if (threads < 1) {
    throw binding::PyErrOccurred(
        PyExc_ValueError,
        "threads must be at least 1, not " + std::to_string(threads));
  }
  return static_cast<std::size_t>(threads);
}

// The special tokens an encoding call may emit: none, the model's own
// matcher of all of them, or a matcher of the ones the call names.
struct AllowedSpecials {
  std::optional<codec::SpecialMatcher> own;
  const codec::SpecialMatcher* matcher = nullptr;
};

// Returns the special tokens that `object` allows: absent, None or an empty
// sequence for none, the str "all" for every one, or a sequence of their
// ids; ValueError for an id that is not a special token of `model`.
void to_specials(const EngineModel& model, PyObject* object,
                 AllowedSpecials& allowed) {
  if (object == nullptr || object == Py_None) return;
  if (PyUnicode_Check(object)) {
    if (binding::text_view(object) != "all") {
      throw binding::PyErrOccurred(
          PyExc_ValueError, "allowed must be 'all' or a sequence of ids");
    }
    allowed.matcher = &model.all_specials;
    return;
  }
  const std::vector<TokenId> ids = binding::convert_argument(
      "allowed", [&] { return binding::to_token_ids(object); });
  if (ids.empty()) return;
  std::vector<codec::SpecialToken> tokens;
  tokens.reserve(ids.size());
  for (const TokenId id : ids) {
    const codec::SpecialToken* token = model.tokens.special(id);
    if (token == nullptr) {
      throw binding::PyErrOccurred(
          PyExc_ValueError,
          "id " + std::to_string(id) + " is not a special token of the model");
    }
    tokens.push_back(*token);
  }
  allowed.own.emplace(std::move(tokens));
  allowed.matcher = &*allowed.own;
}

// Returns the id `object` names, nullopt for absent or None; ValueError for
// an int that is no token id.
std::optional<TokenId> to_eos(PyObject* object) {
  if (object == nullptr || object == Py_None) return std::nullopt;
  const long id = PyLong_AsLong(object);
  if (id == -1 && PyErr_Occurred() != nullptr) {
    binding::name_argument_in_error("eos");
    throw binding::PyErrOccurred();
  }
  if (id < 0 || id > 0xFFFF) {
    throw binding::PyErrOccurred(
        PyExc_ValueError, "eos must be a token id, not " + std::to_string(id));
  }
  return static_cast<TokenId>(id);
}

// Returns the options of one encoding call.
codec::UnitOptions unit_options(codec::Rule rule,
                                const AllowedSpecials& specials,
                                std::optional<TokenId> eos = std::nullopt) {
  return codec::UnitOptions{rule, specials.matcher, eos};
}

// Returns views of the UTF-8 forms of the texts of the tuple `texts`, which
// keeps them alive; TypeError for an item that is not a str. `bytes`
// receives their total size.
std::vector<std::string_view> text_views(PyObject* texts, std::size_t& bytes) {
  const Py_ssize_t count = PyTuple_GET_SIZE(texts);
  std::vector<std::string_view> views;
  views.reserve(static_cast<std::size_t>(count));
  bytes = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* text = PyTuple_GET_ITEM(texts, i);
    if (!PyUnicode_Check(text)) {
      throw binding::TypeError("texts[" + std::to_string(i) + "] is " +
                               Py_TYPE(text)->tp_name + ", not str");
    }
    views.push_back(binding::text_view(text));
    bytes += views.back().size();
  }
  return views;
}

// Returns a new bytes object holding `values` as little-endian integers.
template <typename T>
OwnedRef little_endian_bytes(std::span<const T> values) {
  OwnedRef bytes = check(PyBytes_FromStringAndSize(
      nullptr, static_cast<Py_ssize_t>(values.size_bytes())));
  char* out = PyBytes_AS_STRING(bytes.get());
  if constexpr (std::endian::native == std::endian::little) {
    if (!values.empty()) std::memcpy(out, values.data(), values.size_bytes());
  } else {
    for (const T value : values) {
      for (std::size_t k = 0; k < sizeof(T); ++k) {
        *out++ = static_cast<char>((value >> (8 * k)) & 0xFFu);
      }
    }
  }
  return bytes;
}

// Engine(model_bytes: bytes-like) -> Engine
//   Decodes the model file image `model_bytes`; EngineError "not a model
//   file: ..." when it does not decode.
PyObject* engine_new(PyTypeObject* type, PyObject* args,
                     PyObject* kwargs) noexcept {
  return run_engine_call([&]() -> PyObject* {
    // The constructor is called the classic way; it goes through the same
    // parser as the methods.
    std::vector<PyObject*> values;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < nargs; ++i) {
      values.push_back(PyTuple_GET_ITEM(args, i));
    }
    OwnedRef kwnames;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
      kwnames = check(PyTuple_New(PyDict_GET_SIZE(kwargs)));
      Py_ssize_t position = 0;
      Py_ssize_t index = 0;
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      while (PyDict_Next(kwargs, &position, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), index++, Py_NewRef(key));
        values.push_back(value);
      }
    }
    std::array<PyObject*, 1> slots{};
    binding::parse_arguments(kNewParameters, values.data(), nargs,
                             kwnames.get(), slots);
    Py_buffer buffer;
    if (PyObject_GetBuffer(slots[0], &buffer, PyBUF_SIMPLE) == -1) {
      binding::name_argument_in_error("model_bytes");
      throw binding::PyErrOccurred();
    }
    // The export keeps the buffer alive and unresized while the lock is
    // released; it is given back however the decoding ends.
    const std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release_buffer(
        &buffer, PyBuffer_Release);
    const std::string_view bytes(static_cast<const char*>(buffer.buf),
                                 static_cast<std::size_t>(buffer.len));
    std::unique_ptr<const EngineModel> model = run_without_gil(
        bytes.size() >= kReleaseGilFrom,
        [&] { return std::make_unique<const EngineModel>(bytes); });
    OwnedRef object = check(type->tp_alloc(type, 0));
    reinterpret_cast<EngineObject*>(object.get())->model = model.release();
    return object.release();
  });
}

void engine_dealloc(PyObject* self) noexcept {
  delete reinterpret_cast<EngineObject*>(self)->model;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Engine.encode(text: str, rule: str) -> list[int]
//   Returns the ids of `text` under `rule` ("frequency" or "rank"), with the
//   special tokens `allowed` ("all" or a sequence of their ids) emitted where
//   their text occurs, and unknown clusters as byte ids when the model has
//   byte fallback.
PyObject* engine_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return run_engine_call([&]() -> PyObject* {
    std::array<PyObject*, 3> slots{};
    binding::parse_arguments(kEncodeParameters, args, nargs, kwnames, slots);
    const std::string_view text = binding::convert_argument(
        "text", [&] { return binding::text_view(slots[0]); });
    const codec::Rule rule = to_rule(slots[1]);
    const EngineModel& model = model_of(self);
    AllowedSpecials specials;
    to_specials(model, slots[2], specials);
    // The view borrows the UTF-8 form cached in the str, which the caller's
    // reference keeps alive while the lock is released.
    const std::vector<TokenId> ids =
        run_without_gil(text.size() >= kReleaseGilFrom, [&] {
          std::vector<TokenId> out;
          codec::encode_unit(model, text, unit_options(rule, specials), out);
          return out;
        });
    return binding::ids_to_list(ids).release();
  });
}

// Engine.encode_with_offsets(text: str, rule: str)
//     -> list[tuple[int, int, int]]
//   Returns (id, start, end) per token of `text` under `rule`, in code
//   points of `text`.
PyObject* engine_encode_with_offsets(PyObject* self, PyObject* const* args,
                                     Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
  return run_engine_call([&]() -> PyObject* {
    std::array<PyObject*, 3> slots{};
    binding::parse_arguments(kOffsetsParameters, args, nargs, kwnames, slots);
    const std::string_view text = binding::convert_argument(
        "text", [&] { return binding::text_view(slots[0]); });
    const codec::Rule rule = to_rule(slots[1]);
    const EngineModel& model = model_of(self);
    AllowedSpecials specials;
    to_specials(model, slots[2], specials);
    const std::vector<codec::TokenSpan> spans =
        run_without_gil(text.size() >= kReleaseGilFrom, [&] {
          std::vector<codec::TokenSpan> out;
          codec::encode_unit_spans(model, text, unit_options(rule, specials),
                                   out);
          return out;
        });
    OwnedRef list = check(PyList_New(static_cast<Py_ssize_t>(spans.size())));
    for (std::size_t i = 0; i < spans.size(); ++i) {
      OwnedRef item = check(Py_BuildValue(
          "(Hnn)", spans[i].id, static_cast<Py_ssize_t>(spans[i].start),
          static_cast<Py_ssize_t>(spans[i].end)));
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
  });
}

// Engine.encode_batch(texts: Sequence[str], rule: str, threads: int,
//                     flat: bool) -> list[list[int]] | tuple[bytes, bytes]
//   Returns the ids of each text under `rule`, encoded on `threads` threads:
//   a list of id lists, or with `flat` the pair (ids, offsets) of bytes
//   holding little-endian uint16 ids and len(texts) + 1 uint64 offsets.
PyObject* engine_encode_batch(PyObject* self, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return run_engine_call([&]() -> PyObject* {
    std::array<PyObject*, 5> slots{};
    binding::parse_arguments(kBatchParameters, args, nargs, kwnames, slots);
    // A tuple of our own holds a reference to every text: another thread may
    // change the caller's list while the lock is released.
    OwnedRef texts = check(PySequence_Tuple(slots[0]));
    const codec::Rule rule = to_rule(slots[1]);
    const std::size_t threads = to_threads(slots[2]);
    const int flat = PyObject_IsTrue(slots[3]);
    binding::check_status(flat);
    const EngineModel& model = model_of(self);
    AllowedSpecials specials;
    to_specials(model, slots[4], specials);

    const Py_ssize_t count = PyTuple_GET_SIZE(texts.get());
    std::size_t bytes = 0;
    const std::vector<std::string_view> views = text_views(texts.get(), bytes);
    const codec::FlatIds result =
        run_without_gil(bytes >= kReleaseGilFrom, [&] {
          return codec::encode_units(model, views, unit_options(rule, specials),
                                     threads)
              .flat;
        });
    if (flat != 0) {
      OwnedRef ids = little_endian_bytes(std::span<const TokenId>(result.ids));
      OwnedRef offsets =
          little_endian_bytes(std::span<const std::uint64_t>(result.offsets));
      return check(PyTuple_Pack(2, ids.get(), offsets.get())).release();
    }
    OwnedRef list = check(PyList_New(count));
    const std::span<const TokenId> all(result.ids);
    for (Py_ssize_t i = 0; i < count; ++i) {
      const auto at = static_cast<std::size_t>(i);
      OwnedRef ids = binding::ids_to_list(all.subspan(
          result.offsets[at], result.offsets[at + 1] - result.offsets[at]));
      PyList_SET_ITEM(list.get(), i, ids.release());
    }
    return list.release();
  });
}

// Engine.encode_units(texts: Sequence[str], rule: str, threads: int,
//                     allowed: Sequence[int] | None = None,
//                     eos: int | None = None)
//     -> tuple[bytes, bytes, int, int]
//   Returns (ids, offsets, unknown_clusters, units_with_unknown): the flat
//   ids of `encode_batch` with `eos` after every text, and how many clusters
//   the model did not know, and in how many texts.
PyObject* engine_encode_units(PyObject* self, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return run_engine_call([&]() -> PyObject* {
    std::array<PyObject*, 5> slots{};
    binding::parse_arguments(kUnitsParameters, args, nargs, kwnames, slots);
    OwnedRef texts = check(PySequence_Tuple(slots[0]));
    const codec::Rule rule = to_rule(slots[1]);
    const std::size_t threads = to_threads(slots[2]);
    const EngineModel& model = model_of(self);
    AllowedSpecials specials;
    to_specials(model, slots[3], specials);
    const std::optional<TokenId> eos = to_eos(slots[4]);
    std::size_t bytes = 0;
    const std::vector<std::string_view> views = text_views(texts.get(), bytes);
    const codec::EncodedUnits result =
        run_without_gil(bytes >= kReleaseGilFrom, [&] {
          return codec::encode_units(
              model, views, unit_options(rule, specials, eos), threads);
        });
    OwnedRef ids =
        little_endian_bytes(std::span<const TokenId>(result.flat.ids));
    OwnedRef offsets = little_endian_bytes(
        std::span<const std::uint64_t>(result.flat.offsets));
    OwnedRef unknown =
        check(PyLong_FromUnsignedLongLong(result.unknown_clusters));
    OwnedRef units =
        check(PyLong_FromUnsignedLongLong(result.units_with_unknown));
    return check(PyTuple_Pack(4, ids.get(), offsets.get(), unknown.get(),
                              units.get()))
        .release();
  });
}

// Engine.special_tokens() -> list[tuple[str, int]]
//   Returns (text, id) of every special token of the model, by ascending id.
PyObject* engine_special_tokens(PyObject* self, PyObject*) noexcept {
  return run_engine_call([&]() -> PyObject* {
    const std::vector<codec::SpecialToken>& specials =
        model_of(self).tokens.specials;
    OwnedRef list = check(PyList_New(static_cast<Py_ssize_t>(specials.size())));
    for (std::size_t i = 0; i < specials.size(); ++i) {
      OwnedRef text = binding::utf8_to_str(specials[i].text);
      OwnedRef item = check(Py_BuildValue("(OH)", text.get(), specials[i].id));
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
  });
}

// Engine.byte_base() -> int | None
//   Returns the id of the byte 0x00 of the model's byte fallback, or None.
PyObject* engine_byte_base(PyObject* self, PyObject*) noexcept {
  return run_engine_call([&]() -> PyObject* {
    const std::optional<TokenId> base = model_of(self).tokens.byte_base;
    if (!base) Py_RETURN_NONE;
    return check(PyLong_FromLong(*base)).release();
  });
}

PyMethodDef engine_methods[] = {
    {"encode", as_cfunction(&engine_encode), METH_FASTCALL | METH_KEYWORDS,
     "encode($self, text, rule, allowed=None)\n--\n\n"
     "The token ids of text under rule ('frequency' or 'rank'), with the\n"
     "special tokens allowed ('all' or a sequence of their ids) emitted\n"
     "where their text occurs."},
    {"encode_batch", as_cfunction(&engine_encode_batch),
     METH_FASTCALL | METH_KEYWORDS,
     "encode_batch($self, texts, rule, threads, flat, allowed=None)\n--\n\n"
     "The token ids of each text, encoded on threads threads: a list of id\n"
     "lists, or with flat the pair (ids, offsets) of little-endian uint16\n"
     "and uint64 bytes."},
    {"encode_units", as_cfunction(&engine_encode_units),
     METH_FASTCALL | METH_KEYWORDS,
     "encode_units($self, texts, rule, threads, allowed=None, eos=None)\n--\n"
     "\n"
     "(ids, offsets, unknown_clusters, units_with_unknown) of texts, with\n"
     "eos after every text."},
    {"encode_with_offsets", as_cfunction(&engine_encode_with_offsets),
     METH_FASTCALL | METH_KEYWORDS,
     "encode_with_offsets($self, text, rule, allowed=None)\n--\n\n"
     "(id, start, end) for each token of text, in code points."},
    {"special_tokens", static_cast<PyCFunction>(&engine_special_tokens),
     METH_NOARGS,
     "special_tokens($self)\n--\n\n"
     "(text, id) of every special token of the model, by ascending id."},
    {"byte_base", static_cast<PyCFunction>(&engine_byte_base), METH_NOARGS,
     "byte_base($self)\n--\n\n"
     "The id of the byte 0x00 of the model's byte fallback, or None."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Engine(model_bytes)\n--\n\n"
                    "An immutable model built from the bytes of a model file; "
                    "safe to share between threads.")},
    {Py_tp_new, reinterpret_cast<void*>(&engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&engine_dealloc)},
    {Py_tp_methods, engine_methods},
    {0, nullptr},
};

// Not a base type and holds no Python objects, so not tracked by the
// collector either.
PyType_Spec engine_spec = {
    "selvane_tools._engine.Engine",
    static_cast<int>(sizeof(EngineObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    engine_slots,
};

}  // namespace

PyTypeObject* engine_type() {
  if (engine_type_object == nullptr) {
    engine_type_object = reinterpret_cast<PyTypeObject*>(
        check(PyType_FromSpec(&engine_spec)).release());
  }
  return engine_type_object;
}

}  // namespace selvane::engine
