#include "packaging/keydoc/key_table.h"

#include "core/config/config_defaults.h"
#include "core/config/config_keys.h"

namespace halvex {

std::vector<KeyDoc> DescribeSettableKeys() {
  const ProcessorConfig defaults = DefaultConfig();
  std::vector<KeyDoc> rows;
  for (std::size_t i = 0; i < ParamKeyCount(); ++i) {
    KeyDoc row;
    row.key = ParamKeyAt(i);
    const ParamAccessor& accessor = *FindParam(row.key);
    const ConfigKey& key = *FindConfigKey(row.key);
    row.kind = accessor.Kind();
    row.default_text = accessor.Text(defaults);
    if (key.rule == KeyRule::kRange) {
      row.low = key.lo;
      row.high = key.hi;
    }
    if (row.kind == ParamKind::Flag || row.kind == ParamKind::Choice) {
      row.choices = ChoiceWords(key);
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace halvex
