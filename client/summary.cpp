#include "summary.h"

#include <algorithm>
#include <iomanip>

namespace flash {

using nlohmann::json;

std::string text(const json& object, const char* name) {
  const auto found = object.is_object() ? object.find(name) : object.end();
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::uint64_t count(const json& object, const char* name) {
  const auto found = object.is_object() ? object.find(name) : object.end();
  return found != object.end() && found->is_number_unsigned() ? found->get<std::uint64_t>() : 0;
}

namespace {

void row(std::ostream& out, const std::string& label, const std::string& value) {
  out << "  " << std::left << std::setw(18) << label << value << '\n';
}

std::string stage_line(const ProgressView& view, const std::string& stage, std::uint64_t bytes) {
  const StageFigures figures = view.figures(stage);
  return format_bytes(bytes) + " at " + format_speed(figures.speed_bps) + " (" + stage + ")";
}

}  // namespace

std::string boot_row(const json& check) {
  std::string status = text(check, "status");
  status.resize(std::max<std::size_t>(status.size(), 9), ' ');
  return status + text(check, "label") + ": " + text(check, "message");
}

std::uint64_t bytes_read_back(const FlashRecord& record) {
  return record.write_map.contains("bytesWritten") ? count(record.write_map, "bytesWritten") : record.image_bytes;
}

void print_summary(std::ostream& out, const FlashRecord& record, const ProgressView& view) {
  const json& write = record.write;
  out << "\nSummary\n";
  row(out, "Image", record.image);
  if (!record.prepared_image.empty()) {
    row(out, "Prepared image", record.prepared_image + " (" + format_bytes(record.image_bytes) + ")");
  }
  row(out, "Card", record.target);
  if (!record.prepared_image.empty()) row(out, "Extracted", stage_line(view, "PREPARE", record.image_bytes));
  row(out, "Written", stage_line(view, "WRITE", count(write, "bytesWritten")));
  if (record.sparse) {
    row(out, "Skipped", format_bytes(count(write, "bytesSkipped")) +
                            " of free file-system space, not written: the card keeps its old contents there");
  }
  row(out, "Flushed", "at " + format_speed(count(write, "speedBps")) + " (FINALIZE)");
  const std::uint64_t attempts = count(write, "verifyAttempts");
  row(out, "Verified", format_bytes(count(write, "verifiedBytes")) + " at " +
                           format_speed(count(write, "verifySpeedBps")) + " (VERIFY, " +
                           std::to_string(attempts) + (attempts == 1 ? " pass)" : " passes)"));
  row(out, "SHA-256 image", record.image_sha256);
  row(out, "SHA-256 written", text(write, record.sparse ? "writtenSha256" : "sourceSha256"));
  row(out, "SHA-256 readback", text(write, "observedSha256"));
  if (record.mismatch_class) {
    row(out, "Readback", "differs from the image; " + text(*record.mismatch_class, "message"));
    row(out, "", "judged Windows' mount side effect: the byte-for-byte check was settled by this");
  } else {
    row(out, "Readback", record.sparse ? "matches every written byte" : "matches the image byte for byte");
  }
  const json& report = record.boot_report;
  if (report.is_object()) {
    row(out, "Boot report", text(report, "outcome"));
    if (report.contains("checks") && report["checks"].is_array()) {
      for (const json& check : report["checks"]) out << "    " << boot_row(check) << '\n';
    }
  }
  if (!record.card_files.empty()) {
    row(out, "Customization", record.boot_volume);
    for (const std::string& file : record.card_files) out << "    " << file << '\n';
  }
  for (const std::string& warning : record.warnings) row(out, "Detach warning", warning);
  out << std::flush;
}

}  // namespace flash
