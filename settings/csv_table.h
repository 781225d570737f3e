// CsvTable: the in-memory table behind both settings files.
//
// Named columns (looked up without regard to ASCII letter case), rows of
// byte-string cells and a row cursor, with a reader and a writer for the
// service's own CSV dialect: blanks outside quotes vanish, a record ends only
// at an LF outside quotes, the header is always quoted and a per-column type
// ("STRING" or "FLOAT") decides whether a cell is quoted when saved.
// Cells are bytes; EUC-JP text passes through unchanged. Not thread-safe:
// the service guards its tables with the service lock.
#ifndef SL_SETTINGS_CSV_TABLE_H_
#define SL_SETTINGS_CSV_TABLE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sl {

class CsvTable {
 public:
  CsvTable();

  // Replaces the whole table by the file's content. False, with the table
  // unchanged and errno set, when the file cannot be opened or read or is
  // not a regular file (ENOENT: there is no file). Never blocks on a FIFO.
  bool LoadFromFile(const std::string& path);
  // Writes the table atomically (WriteFileAtomically). False with
  // LastErrorCode 3 when the file cannot be created; a write error after that
  // throws std::system_error and leaves the previous file untouched.
  bool SaveToFile(const std::string& path);
  // The exact bytes SaveToFile writes.
  std::string Serialize() const;
  // Parses bytes as LoadFromFile does (used by the loader and by callers that
  // receive a table over the network).
  void LoadFromBytes(std::string_view bytes);

  bool AddField(const std::string& name);
  void AppendRow();
  void Clear();
  void ClearRows();

  bool First();
  bool Last();
  bool Next();
  bool Eof() const { return eof_; }
  bool Bof() const { return bof_; }
  int32_t Cursor() const { return cursor_; }

  std::string GetValue(std::string_view column) const;
  bool SetValue(std::string_view column, const std::string& value);
  bool SetCell(int column, const std::string& value);  // column counted from 1

  int32_t RowCount() const { return static_cast<int32_t>(rows_.size()); }
  int32_t FieldCount() const { return static_cast<int32_t>(field_names_.size()); }
  const std::vector<std::string>& FieldNames() const { return field_names_; }
  const std::vector<std::string>& FieldTypes() const { return field_types_; }
  const std::vector<std::vector<std::string>>& Rows() const { return rows_; }

  std::string Separator = ";";
  std::string QuoteChar = "\"";
  int32_t LastErrorCode = 0;
  std::string LastErrorText;
  // Set by the owner when a load of this table's file failed, so that the
  // file may hold settings the table lacks; cleared by a successful
  // LoadFromFile or SaveToFile.
  bool LoadFailed = false;

 private:
  int FindField(std::string_view name) const;  // -1 when missing
  void SetEmptyCursor();

  std::vector<std::string> field_names_;
  std::vector<std::string> field_types_;
  std::vector<std::vector<std::string>> rows_;
  int32_t cursor_ = -1;
  bool bof_ = true;
  bool eof_ = true;
};

// Writes bytes to path atomically: a temporary file in the same directory
// (created 0600 under a name with a random part, never through a link),
// flushed to disk, then given the owner and mode of the file it replaces
// and renamed over it. A new file keeps 0600. When path is a symbolic link
// the link stays and its target is replaced. Returns false (errno set) when
// the temporary file cannot be created; throws std::system_error when
// writing fails. Never leaves the temporary file behind.
bool WriteFileAtomically(const std::string& path, std::string_view bytes);

// Removes from `dir` the temporary files that saves killed half way left
// behind: regular files owned by this process's user whose names are a
// save's temporary names ("<name>.tmp.<16 hex digits>"). Returns how many
// were removed.
int RemoveLeftTemporaryFiles(const std::string& dir);

}  // namespace sl

#endif
