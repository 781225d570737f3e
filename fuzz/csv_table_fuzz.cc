// Fuzz target: the settings files' CSV dialect (CsvTable::LoadFromBytes and
// Serialize).
//
// The first byte chooses the separator (";", TAB or "|" for themselves, ","
// for any other byte), the rest is the file. Whatever the
// bytes, the loaded table must be well formed (named, distinct columns, a
// full row of cells per row, the cursor on the last row) and reachable
// through the cursor API. A table whose columns are all STRING must save to
// bytes that load back to an equal table, and saving that table again must
// give the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "settings/csv_table.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "csv_table_fuzz: %s\n", what);
    std::abort();
  }
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x += 32;
    if (y >= 'A' && y <= 'Z') y += 32;
    if (x != y) return false;
  }
  return true;
}

void CheckWellFormed(sl::CsvTable& t) {
  const auto& names = t.FieldNames();
  Check(t.FieldTypes().size() == names.size(), "a column without a type");
  for (size_t i = 0; i < names.size(); ++i) {
    Check(names[i].find_first_not_of(' ') != std::string::npos, "a blank column name");
    for (size_t j = 0; j < i; ++j) {
      Check(!SameNameIgnoringCase(names[i], names[j]), "two columns of the same name");
    }
    const std::string& type = t.FieldTypes()[i];
    Check(type == "STRING" || type == "FLOAT", "a column type other than STRING or FLOAT");
  }
  for (const auto& row : t.Rows())
    Check(row.size() == names.size(), "a row without a cell per column");
  Check(t.RowCount() == 0 ? t.Cursor() == -1 : t.Cursor() == t.RowCount() - 1,
        "the cursor is not on the last row after loading");

  // The cursor API reads the same cells as Rows().
  int32_t seen = 0;
  for (bool more = t.First(); more; more = t.Next()) {
    for (size_t i = 0; i < names.size(); ++i) {
      Check(t.GetValue(names[i]) == t.Rows()[static_cast<size_t>(seen)][i],
            "GetValue differs from Rows()");
    }
    ++seen;
  }
  Check(seen == t.RowCount(), "First/Next do not visit every row");
  Check(t.Eof(), "Eof is not set after the last row");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const char first = static_cast<char>(data[0]);
  const std::string separator(1, first == ';' || first == '\t' || first == '|' ? first : ',');
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

  sl::CsvTable loaded;
  loaded.Separator = separator;
  loaded.LoadFromBytes(bytes);
  CheckWellFormed(loaded);

  const std::string saved = loaded.Serialize();
  sl::CsvTable reloaded;
  reloaded.Separator = separator;
  reloaded.LoadFromBytes(saved);
  CheckWellFormed(reloaded);
  Check(reloaded.FieldNames() == loaded.FieldNames(), "column names change when saved and loaded");

  bool all_strings = true;
  for (const std::string& type : loaded.FieldTypes()) all_strings = all_strings && type == "STRING";
  if (all_strings && loaded.FieldCount() > 0) {
    Check(reloaded.Rows() == loaded.Rows(), "cells change when saved and loaded");
    Check(reloaded.FieldTypes() == loaded.FieldTypes(),
          "column types change when saved and loaded");
    Check(reloaded.Serialize() == saved, "saving the reloaded table gives other bytes");
  }

  // Loading replaces the whole previous content.
  sl::CsvTable reused;
  reused.Separator = separator;
  reused.LoadFromBytes(saved);
  reused.LoadFromBytes(bytes);
  Check(reused.FieldNames() == loaded.FieldNames() && reused.Rows() == loaded.Rows() &&
            reused.FieldTypes() == loaded.FieldTypes(),
        "loading into a used table differs from loading into a new one");
  return 0;
}
