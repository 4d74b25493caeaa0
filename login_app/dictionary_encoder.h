#pragma once

namespace brellis::login_app {

// A coder of records to dictionaries; it has no fields and no operations in this program.
class DictionaryEncoder {};

}  // namespace brellis::login_app
