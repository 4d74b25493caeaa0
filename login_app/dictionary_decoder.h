#pragma once

namespace brellis::login_app {

// A coder of records from dictionaries; it has no fields and no operations in this program.
class DictionaryDecoder {};

}  // namespace brellis::login_app
