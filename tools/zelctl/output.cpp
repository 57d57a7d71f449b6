// Text and JSON output, and the progress bar.
#include <algorithm>
#include <cstdio>

#include "common.h"
#include "terminal.h"

namespace zelctl {

Record& Record::Add(std::string key, std::string label, Json value, std::string text) {
  fields_.push_back({std::move(key), std::move(label), std::move(text), std::move(value)});
  return *this;
}

Record& Record::Add(std::string key, std::string label, Json value) {
  std::string text = value.is_string() ? value.get<std::string>() : value.dump();
  return Add(std::move(key), std::move(label), std::move(value), std::move(text));
}

Json Record::ToJson() const {
  Json out = Json::object();
  for (const auto& f : fields_) out[f.key] = f.value;
  return out;
}

void Record::PrintText() const {
  size_t width = 0;
  for (const auto& f : fields_) width = std::max(width, f.label.size());
  for (const auto& f : fields_) {
    std::printf("%-*s  %s\n", static_cast<int>(width + 1), (f.label + ":").c_str(), f.text.c_str());
  }
}

void Record::Print(bool json) const {
  if (json) {
    PrintJson(ToJson());
  } else {
    PrintText();
  }
}

void Table::AddRow(std::vector<std::pair<Json, std::string>> cells) {
  cells.resize(columns_.size());
  rows_.push_back(std::move(cells));
}

void Table::PrintText(const std::string& indent) const {
  std::vector<size_t> width(columns_.size());
  for (size_t c = 0; c < columns_.size(); ++c) {
    width[c] = columns_[c].header.size();
    for (const auto& row : rows_) width[c] = std::max(width[c], row[c].second.size());
  }
  auto line = [&](auto text_of) {
    std::string out = indent;
    for (size_t c = 0; c < columns_.size(); ++c) {
      const std::string text = text_of(c);
      const std::string pad(width[c] - text.size(), ' ');
      if (c > 0) out += "  ";
      out += columns_[c].numeric ? pad + text : (c + 1 == columns_.size() ? text : text + pad);
    }
    std::printf("%s\n", out.c_str());
  };
  line([&](size_t c) { return columns_[c].header; });
  for (const auto& row : rows_) line([&](size_t c) { return row[c].second; });
}

Json Table::ToJson() const {
  Json out = Json::array();
  for (const auto& row : rows_) {
    Json item = Json::object();
    for (size_t c = 0; c < columns_.size(); ++c) item[columns_[c].key] = row[c].first;
    out.push_back(std::move(item));
  }
  return out;
}

void Table::Print(bool json) const {
  if (json) {
    PrintJson(ToJson());
  } else {
    PrintText();
  }
}

std::string Fixed(double value, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

std::string Hex(unsigned value, int digits) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
  return buf;
}

void PrintJson(const Json& value) { std::printf("%s\n", value.dump(2).c_str()); }

Progress::Progress(std::string label, size_t total)
    : label_(std::move(label)), total_(total), enabled_(total > 0 && StderrIsTerminal()) {
  Draw();
}

Progress::~Progress() {
  if (enabled_) std::fprintf(stderr, "\n");
}

void Progress::Advance(size_t steps) {
  done_ = std::min(total_, done_ + steps);
  Draw();
}

void Progress::Draw() {
  if (!enabled_) return;
  const int permille = static_cast<int>(done_ * 1000 / total_);
  if (permille == last_permille_) return;
  last_permille_ = permille;
  constexpr int kWidth = 30;
  const int filled = permille * kWidth / 1000;
  std::fprintf(stderr, "\r%s [%s%s] %3d%%", label_.c_str(), std::string(filled, '#').c_str(),
               std::string(kWidth - filled, ' ').c_str(), permille / 10);
  std::fflush(stderr);
}

}  // namespace zelctl
