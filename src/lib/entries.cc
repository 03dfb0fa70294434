#include "lib/entries.h"

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/interrupt.h"
#include "binding/borrow.h"
#include "binding/call_frame.h"
#include "binding/conversions.h"
#include "binding/errors.h"
#include "binding/parameter_table.h"
#include "codec/decode.h"
#include "codec/encode.h"
#include "codec/vocab.h"
#include "lib/data_type.h"
#include "model/load.h"
#include "training/train.h"

namespace selvane::lib {
namespace {

using binding::convert_argument;

constexpr const char* kTrainKeywords[] = {"train_file", "print_logs",
                                          "logs_file"};
constexpr binding::ParameterTable kTrainParameters = {"Data", "train",
                                                      kTrainKeywords, 0, 3};

constexpr const char* kEncodeKeywords[] = {"st"};
constexpr binding::ParameterTable kEncodeParameters = {"Data", "encode",
                                                       kEncodeKeywords, 0, 1};

constexpr const char* kDecodeKeywords[] = {"tokens"};
constexpr binding::ParameterTable kDecodeParameters = {"Data", "decode",
                                                       kDecodeKeywords, 0, 1};

constexpr const char* kLoadFromFileKeywords[] = {"filename"};
constexpr binding::ParameterTable kLoadFromFileParameters = {
    nullptr, "load_from_file", kLoadFromFileKeywords, 0, 1};

}  // namespace

// Data.train(train_file: str, print_logs: bool, logs_file: str) -> None
//   Grows this model from the UTF-8 text file `train_file`, chunk by chunk,
//   saving it to "tokenizer" in the current directory after every chunk and
//   logging to `logs_file` (to "log.txt" as well when `print_logs`).
//   `print_logs` must be a bool or a numpy boolean. Holds the object
//   exclusively: RuntimeError "Already borrowed" while another call uses it.
//   A failure raises PanicException and keeps what was learned so far.
PyObject* data_train(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return binding::run_in_frame([&]() -> PyObject* {
    std::array<PyObject*, 3> slots{};
    binding::parse_arguments(kTrainParameters, args, nargs, kwnames, slots);
    DataObject* data = downcast_data(self);
    {
      binding::ExclusiveBorrow borrow(self, data->borrow_flag);
      const std::string train_file = convert_argument(
          "train_file", [&] { return binding::owned_text(slots[0]); });
      const bool print_logs = convert_argument(
          "print_logs", [&] { return binding::to_bool(slots[1]); });
      const std::string logs_file = convert_argument(
          "logs_file", [&] { return binding::owned_text(slots[2]); });
      // Ctrl-C ends a long training between chunks, or an open or read that
      // it interrupts, with the handler's KeyboardInterrupt.
      const InterruptCheckScope interrupts(&binding::run_signal_handlers);
      training::train(record_of(data), train_file, print_logs, logs_file);
    }
    return Py_NewRef(Py_None);
  });
}

// Data.encode(st: str) -> list[int]
//   Returns the token ids of `st`: its grapheme clusters looked up in the
//   model ("oov" for unknown ones), then merged by the text's own most
//   frequent pairs while the model knows a merge for them. Shares the object:
//   RuntimeError "Already mutably borrowed" during a train() of it.
PyObject* data_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return binding::run_in_frame([&]() -> PyObject* {
    std::array<PyObject*, 1> slots{};
    binding::parse_arguments(kEncodeParameters, args, nargs, kwnames, slots);
    DataObject* data = downcast_data(self);
    std::vector<model::TokenId> ids;
    {
      binding::SharedBorrow borrow(self, data->borrow_flag);
      // Borrowed from the argument, which the caller keeps alive for the
      // call, or for a long text a copy freed before the merging starts:
      // one fewer copy of the text is alive beside the ids and the list.
      binding::Utf8Text st =
          convert_argument("st", [&] { return binding::Utf8Text(slots[0]); });
      ids = codec::base_ids(record_of(data).unicode_lookup, st.view());
      st.release();
      ids = codec::merge_base_ids(record_of(data).merges, std::move(ids));
    }
    return binding::ids_to_list(ids).release();
  });
}

// Data.decode(tokens: Sequence[int]) -> str
//   Returns the text of the ids in `tokens` (any sequence but a str, each
//   element an int in 0..65535): their bytes joined and read as UTF-8, with
//   replacement characters for invalid sequences. An id the model lacks
//   raises PanicException. Shares the object like encode().
PyObject* data_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return binding::run_in_frame([&]() -> PyObject* {
    std::array<PyObject*, 1> slots{};
    binding::parse_arguments(kDecodeParameters, args, nargs, kwnames, slots);
    DataObject* data = downcast_data(self);
    std::string text;
    {
      binding::SharedBorrow borrow(self, data->borrow_flag);
      const std::vector<model::TokenId> ids = convert_argument(
          "tokens", [&] { return binding::to_token_ids(slots[0]); });
      const model::Data& record = record_of(data);
      if (record.lookup.all_utf8()) {
        // Every token is valid UTF-8, so the text is their code points in
        // order: written straight into the string, with no joined bytes for
        // the interpreter to decode again.
        const codec::TextShape shape = codec::text_shape(record, ids);
        return binding::new_str(
                   shape.length, shape.max_code_point,
                   [&](auto units) { codec::write_text(record, ids, units); })
            .release();
      }
      text = codec::decode(record, ids);
    }
    return binding::utf8_to_str(text).release();
  });
}

// Data.vocab() -> list[int]
//   Returns every token id of the model, ascending. Shares the object like
//   encode().
PyObject* data_vocab(PyObject* self, PyObject*) noexcept {
  return binding::run_in_frame([&]() -> PyObject* {
    DataObject* data = downcast_data(self);
    std::vector<model::TokenId> ids;
    {
      binding::SharedBorrow borrow(self, data->borrow_flag);
      ids = codec::vocab(record_of(data));
    }
    return binding::ids_to_list(ids).release();
  });
}

// load_from_file(filename: str) -> Data
//   Reads the model file `filename` and returns a new, independent Data
//   object holding it. A missing, unreadable or malformed file raises
//   PanicException "Should work: " and the error's description.
PyObject* module_load_from_file(PyObject*, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return binding::run_in_frame([&]() -> PyObject* {
    std::array<PyObject*, 1> slots{};
    binding::parse_arguments(kLoadFromFileParameters, args, nargs, kwnames,
                             slots);
    // Borrowed from the argument, which the caller keeps alive for the call.
    const std::string_view filename = convert_argument(
        "filename", [&] { return binding::text_view(slots[0]); });
    model::Data record;
    {
      // An open or read that a signal interrupts (a FIFO without a writer)
      // runs the handlers, and Ctrl-C ends the call.
      const InterruptCheckScope interrupts(&binding::run_signal_handlers);
      record = model::load_from_file(filename);
    }
    return new_data_object(std::move(record)).release();
  });
}

PyMethodDef load_from_file_def = {
    "load_from_file", as_cfunction(&module_load_from_file),
    METH_FASTCALL | METH_KEYWORDS, "load_from_file(filename)\n--\n\n"};

}  // namespace selvane::lib
