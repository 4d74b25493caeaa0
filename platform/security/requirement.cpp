#include "platform/security/requirement.h"

#include <cctype>
#include <map>
#include <optional>
#include <variant>

#include "platform/security/security_error.h"
#include "platform/security/version_compare.h"
#include "platform/security/x509_certificate.h"

namespace brellis::platform::security {
namespace {

constexpr size_t kMaxTextSize = 64 * 1024;
constexpr int kMaxNesting = 64;
constexpr long kMaxCertificateIndex = 32;

enum class TokenKind {
  word,
  string,
  leftParen,
  rightParen,
  leftBracket,
  rightBracket,
  bang,
  op,
  end
};
enum class Op { equal, less, lessEqual, greater, greaterEqual };

struct Token {
  TokenKind kind;
  std::string text;
  size_t offset;
  Op op = Op::equal;
};

[[noreturn]] void fail(size_t offset, const std::string& why) {
  throw SecurityError(errSecCSReqInvalid,
                      "invalid requirement at offset " + std::to_string(offset) + ": " + why);
}

bool isWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

std::vector<Token> tokenize(std::string_view text) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (text.substr(i, 2) == "//") {
      size_t end = text.find('\n', i);
      i = end == std::string_view::npos ? text.size() : end + 1;
    } else if (text.substr(i, 2) == "/*") {
      size_t end = text.find("*/", i + 2);
      if (end == std::string_view::npos) fail(i, "unterminated comment");
      i = end + 2;
    } else if (c == '"') {
      size_t start = i++;
      std::string value;
      while (true) {
        if (i >= text.size()) fail(start, "unterminated string");
        char d = text[i++];
        if (d == '"') break;
        if (d == '\\') {
          if (i >= text.size()) fail(start, "unterminated string");
          value.push_back(text[i++]);
        } else {
          value.push_back(d);
        }
      }
      tokens.push_back({TokenKind::string, std::move(value), start});
    } else if (c == '(' || c == ')' || c == '[' || c == ']' || c == '!') {
      TokenKind kind = c == '('   ? TokenKind::leftParen
                       : c == ')' ? TokenKind::rightParen
                       : c == '[' ? TokenKind::leftBracket
                       : c == ']' ? TokenKind::rightBracket
                                  : TokenKind::bang;
      tokens.push_back({kind, std::string(1, c), i++});
    } else if (c == '=' || c == '<' || c == '>') {
      Token token{TokenKind::op, std::string(1, c), i};
      bool orEqual = i + 1 < text.size() && text[i + 1] == '=';
      token.op = c == '='   ? Op::equal
                 : c == '<' ? (orEqual ? Op::lessEqual : Op::less)
                            : (orEqual ? Op::greaterEqual : Op::greater);
      i += (c != '=' && orEqual) ? 2 : 1;
      tokens.push_back(std::move(token));
    } else if (isWordChar(c)) {
      size_t start = i;
      while (i < text.size() && isWordChar(text[i])) ++i;
      tokens.push_back({TokenKind::word, std::string(text.substr(start, i - start)), start});
    } else {
      fail(i, std::string("unexpected character '") + c + "'");
    }
  }
  tokens.push_back({TokenKind::end, "", text.size()});
  return tokens;
}

}  // namespace

// A match on a value: `exists`, or a comparison with a string.
struct Match {
  bool exists = true;
  Op op = Op::equal;
  std::string value;
};

struct RequirementNode {
  enum class Kind { andNode, orNode, notNode, identifier, info, anchor, certSubject, certField };
  Kind kind;
  std::shared_ptr<const RequirementNode> left;
  std::shared_ptr<const RequirementNode> right;
  std::string key;            // identifier value, info key or field OID
  int subjectNid = 0;         // certSubject
  long certificateIndex = 0;  // -1: root
  Match match;
};

namespace {

using NodePtr = std::shared_ptr<const RequirementNode>;
using Kind = RequirementNode::Kind;

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  NodePtr parse() {
    NodePtr root = parseOr(0);
    if (peek().kind != TokenKind::end) fail(peek().offset, "unexpected '" + peek().text + "'");
    return root;
  }

 private:
  const Token& peek() const { return tokens_[position_]; }
  const Token& next() {
    const Token& token = tokens_[position_];
    if (token.kind != TokenKind::end) ++position_;
    return token;
  }
  bool peekWord(std::string_view word) const {
    return peek().kind == TokenKind::word && peek().text == word;
  }
  void expectWord(std::string_view word) {
    if (!peekWord(word)) fail(peek().offset, "expected '" + std::string(word) + "'");
    next();
  }
  void expect(TokenKind kind, const char* what) {
    if (peek().kind != kind) fail(peek().offset, std::string("expected ") + what);
    next();
  }
  // A string operand: quoted, or a bare word that is not a keyword of the grammar.
  std::string operand(const char* what) {
    const Token& token = peek();
    if (token.kind == TokenKind::string ||
        (token.kind == TokenKind::word && token.text != "and" && token.text != "or")) {
      return next().text;
    }
    fail(token.offset, std::string("expected ") + what);
  }

  static NodePtr binary(Kind kind, NodePtr left, NodePtr right) {
    auto node = std::make_shared<RequirementNode>();
    node->kind = kind;
    node->left = std::move(left);
    node->right = std::move(right);
    return node;
  }

  NodePtr parseOr(int depth) {
    NodePtr left = parseAnd(depth);
    while (peekWord("or")) {
      next();
      left = binary(Kind::orNode, left, parseAnd(depth));
    }
    return left;
  }

  NodePtr parseAnd(int depth) {
    NodePtr left = parseUnary(depth);
    while (peekWord("and")) {
      next();
      left = binary(Kind::andNode, left, parseUnary(depth));
    }
    return left;
  }

  NodePtr parseUnary(int depth) {
    if (depth > kMaxNesting) fail(peek().offset, "nested too deeply");
    if (peek().kind == TokenKind::bang) {
      next();
      return binary(Kind::notNode, parseUnary(depth + 1), nullptr);
    }
    if (peek().kind == TokenKind::leftParen) {
      next();
      NodePtr inner = parseOr(depth + 1);
      expect(TokenKind::rightParen, "')'");
      return inner;
    }
    return parsePrimary();
  }

  Match parseMatch(bool allowImplicitExists) {
    Match match;
    if (peek().kind == TokenKind::op) {
      match.exists = false;
      match.op = next().op;
      match.value = operand("a value");
    } else if (peekWord("exists")) {
      next();
    } else if (!allowImplicitExists) {
      fail(peek().offset, "expected a comparison or 'exists'");
    }
    return match;
  }

  NodePtr parsePrimary() {
    const Token& token = peek();
    if (token.kind != TokenKind::word) fail(token.offset, "expected a requirement");
    auto node = std::make_shared<RequirementNode>();
    if (token.text == "identifier") {
      next();
      node->kind = Kind::identifier;
      if (peek().kind == TokenKind::op) {
        if (peek().op != Op::equal) fail(peek().offset, "identifier takes '='");
        next();
      }
      node->key = operand("an identifier");
    } else if (token.text == "info") {
      next();
      node->kind = Kind::info;
      expect(TokenKind::leftBracket, "'['");
      node->key = operand("an info key");
      expect(TokenKind::rightBracket, "']'");
      node->match = parseMatch(false);
    } else if (token.text == "anchor") {
      next();
      expectWord("apple");
      if (peekWord("generic")) next();
      node->kind = Kind::anchor;
    } else if (token.text == "certificate" || token.text == "cert") {
      next();
      parseCertificate(*node);
    } else {
      fail(token.offset, "unknown requirement '" + token.text + "'");
    }
    return node;
  }

  void parseCertificate(RequirementNode& node) {
    const Token& slot = peek();
    if (slot.kind != TokenKind::word) fail(slot.offset, "expected a certificate position");
    if (slot.text == "leaf") {
      node.certificateIndex = 0;
    } else if (slot.text == "root" || slot.text == "anchor") {
      node.certificateIndex = -1;
    } else if (!slot.text.empty() && slot.text.size() <= 3 &&
               slot.text.find_first_not_of("0123456789") == std::string::npos) {
      node.certificateIndex = std::stol(slot.text);
      if (node.certificateIndex > kMaxCertificateIndex) fail(slot.offset, "position too large");
    } else {
      fail(slot.offset, "expected leaf, root or a number");
    }
    next();
    expect(TokenKind::leftBracket, "'['");
    const Token& field = peek();
    if (field.kind != TokenKind::word) fail(field.offset, "expected a certificate field");
    std::string_view text = field.text;
    if (text.starts_with("subject.")) {
      node.kind = Kind::certSubject;
      node.subjectNid = subjectAttributeNid(text.substr(8));
      if (node.subjectNid == 0) fail(field.offset, "unknown subject field '" + field.text + "'");
    } else if (text.starts_with("field.")) {
      node.kind = Kind::certField;
      node.key = std::string(text.substr(6));
      if (!isDottedOid(node.key)) fail(field.offset, "malformed OID '" + node.key + "'");
    } else {
      fail(field.offset, "unknown certificate field '" + field.text + "'");
    }
    next();
    expect(TokenKind::rightBracket, "']'");
    node.match = parseMatch(true);
    if (node.kind == Kind::certField && !node.match.exists) {
      fail(field.offset, "an extension can only be tested with 'exists'");
    }
  }

  std::vector<Token> tokens_;
  size_t position_ = 0;
};

bool compareWith(const Match& match, const std::string& actual) {
  if (match.op == Op::equal) return actual == match.value;
  int order = compareVersions(actual, match.value);
  switch (match.op) {
    case Op::less:
      return order < 0;
    case Op::lessEqual:
      return order <= 0;
    case Op::greater:
      return order > 0;
    case Op::greaterEqual:
      return order >= 0;
    case Op::equal:
      break;
  }
  return false;
}

// Parses each certificate at most once per evaluation.
class Evaluation {
 public:
  explicit Evaluation(const SigningInformation& info) : info_(info) {}

  bool evaluate(const RequirementNode& node) {
    switch (node.kind) {
      case Kind::andNode:
        return evaluate(*node.left) && evaluate(*node.right);
      case Kind::orNode:
        return evaluate(*node.left) || evaluate(*node.right);
      case Kind::notNode:
        return !evaluate(*node.left);
      case Kind::identifier:
        return info_.identifier == node.key;
      case Kind::anchor:
        return info_.anchored;
      case Kind::info: {
        const foundation::PlistValue* value = info_.info.find(node.key);
        if (value == nullptr) return false;
        if (node.match.exists) return true;
        return value->string() != nullptr && compareWith(node.match, *value->string());
      }
      case Kind::certSubject: {
        const X509Certificate* certificate = at(node.certificateIndex);
        if (certificate == nullptr) return false;
        for (const std::string& value : certificate->subjectValues(node.subjectNid)) {
          if (node.match.exists || compareWith(node.match, value)) return true;
        }
        return false;
      }
      case Kind::certField: {
        const X509Certificate* certificate = at(node.certificateIndex);
        return certificate != nullptr && certificate->hasExtension(node.key);
      }
    }
    return false;
  }

 private:
  const X509Certificate* at(long index) {
    const auto& chain = info_.certificates;
    if (chain.empty()) return nullptr;
    size_t position = index < 0 ? chain.size() - 1 : static_cast<size_t>(index);
    if (position >= chain.size()) return nullptr;
    auto found = parsed_.find(position);
    if (found == parsed_.end()) {
      found = parsed_.emplace(position, X509Certificate::fromDer(chain[position])).first;
    }
    return found->second ? &*found->second : nullptr;
  }

  const SigningInformation& info_;
  std::map<size_t, std::optional<X509Certificate>> parsed_;
};

}  // namespace

Requirement::Requirement(std::string text, std::shared_ptr<const RequirementNode> root)
    : text_(std::move(text)), root_(std::move(root)) {}

Requirement Requirement::compile(std::string_view text) {
  if (text.size() > kMaxTextSize) fail(0, "text too long");
  Parser parser(tokenize(text));
  return Requirement(std::string(text), parser.parse());
}

bool Requirement::isSatisfiedBy(const SigningInformation& info) const {
  Evaluation evaluation(info);
  return evaluation.evaluate(*root_);
}

}  // namespace brellis::platform::security
