// A tokenizer and a recursive-descent checker for the small expression
// language that file-list filters and orderings may use. The checker only
// accepts or refuses; the accepted text is used unchanged.
//
// Both engines must read an accepted text the same way the checker does, so
// everything whose meaning differs between them is refused: backslashes (an
// escape inside MySQL literals, a plain character in SQLite), double quotes and
// back-quotes, "||", and any "--" or "#" (comments on one engine or the other).
#include "docservice/OrdexSqlGuard.h"

#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "common/qxBase.h"
#include "common/qxError.h"

namespace ordex {

namespace {

// Columns of oxFiles that the server itself names; the catalog adds the rest.
constexpr const char* KnownFileColumns[] = {
    "fileid",     "treeid",       "filename",   "fileext",    "size_file",  "md5_file",   "count_history",
    "del",        "working_user", "date_working", "datecreate", "usercreate", "dateupdate", "userupdate"};

constexpr const char* AllowedFunctions[] = {"lower", "upper", "length", "coalesce", "ifnull",
                                            "trim",  "substr", "date",  "datetime", "year",
                                            "month", "day",    "now",   "date_format", "strftime"};

constexpr const char* Keywords[] = {"and", "or",   "not",  "like", "escape", "in",  "is",
                                    "null", "between", "asc", "desc", "true",  "false"};

// Deepest nesting of parentheses, NOTs and signs the checker follows.
constexpr int MaxDepth = 64;

template <std::size_t N>
bool OneOf(const std::string& Word, const char* const (&List)[N]) {
  for (const char* W : List)
    if (Word == W) return true;
  return false;
}

enum class TTok { Ident, Number, String, Op, End };

struct TToken {
  TTok Kind = TTok::End;
  std::string Text;   // identifiers in lower case; operators as written
  std::string Shown;  // as written, for messages
};

bool IsIdentStart(char C) { return std::isalpha(static_cast<unsigned char>(C)) || C == '_'; }
bool IsIdentChar(char C) { return std::isalnum(static_cast<unsigned char>(C)) || C == '_'; }
bool IsDigit(char C) { return std::isdigit(static_cast<unsigned char>(C)) != 0; }

class TChecker {
 public:
  TChecker(const std::set<std::string>& Columns, std::string Prefix) : FColumns(Columns), FPrefix(std::move(Prefix)) {}

  void CheckCondition(std::string_view Text) {
    Tokenize(Text);
    if (Peek().Kind == TTok::End) Refuse("пустое выражение");
    OrExpr();
    ExpectEnd();
  }

  void CheckOrderList(std::string_view Text) {
    Tokenize(Text);
    for (;;) {
      if (Peek().Kind == TTok::End || IsOp(",")) Refuse("пустой элемент списка сортировки");
      OrExpr();
      if (IsWord("asc") || IsWord("desc")) ++FPos;
      if (!IsOp(",")) break;
      ++FPos;
    }
    ExpectEnd();
  }

 private:
  [[noreturn]] void Refuse(const std::string& Why) const { throw EArgumentError(FPrefix + Why); }

  // --- Tokenizer
  void Tokenize(std::string_view S) {
    std::size_t I = 0;
    while (I < S.size()) {
      const char C = S[I];
      if (C == ' ' || C == '\t' || C == '\r' || C == '\n') {
        ++I;
      } else if (C == '-' && I + 1 < S.size() && S[I + 1] == '-') {
        Refuse("комментарии (--, /* */, #) не допускаются");
      } else if (C == '/' && I + 1 < S.size() && S[I + 1] == '*') {
        Refuse("комментарии (--, /* */, #) не допускаются");
      } else if (C == '#') {
        Refuse("комментарии (--, /* */, #) не допускаются");
      } else if (C == ';') {
        Refuse("символ ';' не допускается");
      } else if (C == '\\') {
        Refuse("символ '\\' не допускается");
      } else if (C == '"' || C == '`') {
        Refuse(std::string("кавычки ") + C + " не допускаются; строки пишутся в одинарных кавычках");
      } else if (C == '\'') {
        std::string Value;
        ++I;
        for (;;) {
          if (I >= S.size()) Refuse("незакрытая кавычка");
          if (S[I] == '\\') Refuse("символ '\\' не допускается");
          if (S[I] == '\0') Refuse("недопустимый символ с кодом 0");
          if (S[I] == '\'') {
            if (I + 1 < S.size() && S[I + 1] == '\'') {
              Value += '\'';
              I += 2;
              continue;
            }
            ++I;
            break;
          }
          Value += S[I++];
        }
        FTokens.push_back({TTok::String, Value, "'" + Value + "'"});
      } else if (IsDigit(C) || (C == '.' && I + 1 < S.size() && IsDigit(S[I + 1]))) {
        const std::size_t Start = I;
        while (I < S.size() && IsDigit(S[I])) ++I;
        if (I < S.size() && S[I] == '.') {
          ++I;
          while (I < S.size() && IsDigit(S[I])) ++I;
        }
        if (I < S.size() && (S[I] == 'e' || S[I] == 'E')) {
          std::size_t J = I + 1;
          if (J < S.size() && (S[J] == '+' || S[J] == '-')) ++J;
          if (J < S.size() && IsDigit(S[J])) {
            I = J;
            while (I < S.size() && IsDigit(S[I])) ++I;
          }
        }
        if (I < S.size() && (IsIdentChar(S[I]) || S[I] == '.'))
          Refuse("недопустимое число '" + std::string(S.substr(Start, I - Start + 1)) + "'");
        const std::string N(S.substr(Start, I - Start));
        FTokens.push_back({TTok::Number, N, N});
      } else if (IsIdentStart(C)) {
        const std::size_t Start = I;
        while (I < S.size() && IsIdentChar(S[I])) ++I;
        if (I < S.size() && S[I] == '.') {  // qualified name: alias.column
          ++I;
          if (I >= S.size() || !IsIdentStart(S[I])) Refuse("ожидалось имя столбца после '.'");
          while (I < S.size() && IsIdentChar(S[I])) ++I;
          if (I < S.size() && S[I] == '.') Refuse("допускаются только столбцы таблицы oxFiles (f.столбец)");
        }
        const std::string W(S.substr(Start, I - Start));
        FTokens.push_back({TTok::Ident, LowerCaseAscii(W), W});
      } else {
        static constexpr std::string_view TwoChar[] = {"<>", "!=", "<=", ">="};
        bool Matched = false;
        for (const auto Op : TwoChar) {
          if (S.substr(I, 2) == Op) {
            FTokens.push_back({TTok::Op, std::string(Op), std::string(Op)});
            I += 2;
            Matched = true;
            break;
          }
        }
        if (Matched) continue;
        if (std::string_view("=<>+-*/(),").find(C) != std::string_view::npos) {
          FTokens.push_back({TTok::Op, std::string(1, C), std::string(1, C)});
          ++I;
          continue;
        }
        const unsigned char U = static_cast<unsigned char>(C);
        if (U < 32 || U >= 127) Refuse("недопустимый символ с кодом " + std::to_string(U));
        Refuse(std::string("недопустимый символ '") + C + "'");
      }
    }
    FTokens.push_back({TTok::End, {}, "конец текста"});
  }

  // --- Token access
  const TToken& Peek(std::size_t Ahead = 0) const {
    const std::size_t I = std::min(FPos + Ahead, FTokens.size() - 1);
    return FTokens[I];
  }
  bool IsOp(std::string_view Op, std::size_t Ahead = 0) const {
    return Peek(Ahead).Kind == TTok::Op && Peek(Ahead).Text == Op;
  }
  bool IsWord(std::string_view W, std::size_t Ahead = 0) const {
    return Peek(Ahead).Kind == TTok::Ident && Peek(Ahead).Text == W;
  }
  void Expect(std::string_view Op) {
    if (!IsOp(Op)) Refuse("ожидалось '" + std::string(Op) + "', а встретилось " + Describe(Peek()));
    ++FPos;
  }
  void ExpectEnd() {
    if (Peek().Kind == TTok::End) return;
    if (IsOp(")")) Refuse("лишняя закрывающая скобка ')'");
    Refuse("неожиданный элемент " + Describe(Peek()));
  }
  static std::string Describe(const TToken& T) {
    return T.Kind == TTok::End ? T.Shown : "'" + T.Shown + "'";
  }

  // Limits the nesting the recursive descent follows.
  struct TDepth {
    explicit TDepth(TChecker& C) : FC(C) {
      if (++FC.FDepth > MaxDepth) FC.Refuse("слишком глубокая вложенность выражения");
    }
    ~TDepth() { --FC.FDepth; }
    TChecker& FC;
  };

  // --- Grammar
  void OrExpr() {
    TDepth D(*this);
    AndExpr();
    while (IsWord("or")) {
      ++FPos;
      AndExpr();
    }
  }
  void AndExpr() {
    NotExpr();
    while (IsWord("and")) {
      ++FPos;
      NotExpr();
    }
  }
  void NotExpr() {
    TDepth D(*this);
    if (IsWord("not")) {
      ++FPos;
      NotExpr();
      return;
    }
    Predicate();
  }
  void Predicate() {
    Additive();
    static constexpr std::string_view Compare[] = {"=", "<>", "!=", "<", ">", "<=", ">="};
    for (const auto Op : Compare) {
      if (IsOp(Op)) {
        ++FPos;
        Additive();
        return;
      }
    }
    const bool Negated = IsWord("not") && (IsWord("like", 1) || IsWord("in", 1) || IsWord("between", 1));
    if (Negated) ++FPos;
    if (IsWord("like")) {
      ++FPos;
      Additive();
      if (IsWord("escape")) {
        ++FPos;
        Additive();
      }
    } else if (IsWord("in")) {
      ++FPos;
      InList();
    } else if (IsWord("between")) {
      ++FPos;
      Additive();
      if (!IsWord("and")) Refuse("в BETWEEN ожидалось AND, а встретилось " + Describe(Peek()));
      ++FPos;
      Additive();
    } else if (!Negated && IsWord("is")) {
      ++FPos;
      if (IsWord("not")) ++FPos;
      if (!IsWord("null")) Refuse("после IS ожидалось NULL, а встретилось " + Describe(Peek()));
      ++FPos;
    }
  }
  void InList() {
    Expect("(");
    if (IsWord("select")) Refuse("подзапросы (SELECT) не допускаются");
    for (;;) {
      if (IsOp("-") || IsOp("+")) ++FPos;
      const TToken& T = Peek();
      if (T.Kind != TTok::String && T.Kind != TTok::Number && !IsWord("null"))
        Refuse("в списке IN допускаются только значения, а встретилось " + Describe(T));
      ++FPos;
      if (!IsOp(",")) break;
      ++FPos;
    }
    Expect(")");
  }
  void Additive() {
    Multiplicative();
    while (IsOp("+") || IsOp("-")) {
      ++FPos;
      Multiplicative();
    }
  }
  void Multiplicative() {
    Unary();
    while (IsOp("*") || IsOp("/")) {
      ++FPos;
      Unary();
    }
  }
  void Unary() {
    TDepth D(*this);
    if (IsOp("-") || IsOp("+")) {
      ++FPos;
      Unary();
      return;
    }
    Primary();
  }
  void Primary() {
    const TToken& T = Peek();
    switch (T.Kind) {
      case TTok::String:
      case TTok::Number:
        ++FPos;
        return;
      case TTok::Op:
        if (T.Text == "(") {
          ++FPos;
          if (IsWord("select")) Refuse("подзапросы (SELECT) не допускаются");
          OrExpr();
          if (!IsOp(")")) Refuse("не хватает закрывающей скобки ')': встретилось " + Describe(Peek()));
          ++FPos;
          return;
        }
        Refuse("неожиданный элемент " + Describe(T));
      case TTok::End:
        Refuse("выражение оборвано");
      case TTok::Ident:
        break;
    }
    if (T.Text == "null" || T.Text == "true" || T.Text == "false") {
      ++FPos;
      return;
    }
    if (T.Text == "select") Refuse("подзапросы (SELECT) не допускаются");
    if (IsOp("(", 1)) {
      if (!OneOf(T.Text, AllowedFunctions)) Refuse("функция '" + T.Shown + "' не разрешена");
      FPos += 2;
      if (!IsOp(")")) {
        for (;;) {
          OrExpr();
          if (!IsOp(",")) break;
          ++FPos;
        }
      }
      if (!IsOp(")")) Refuse("не хватает закрывающей скобки ')' у функции '" + T.Shown + "'");
      ++FPos;
      return;
    }
    Column(T);
    ++FPos;
  }
  void Column(const TToken& T) {
    std::string Name = T.Text;
    if (const auto Dot = Name.find('.'); Dot != std::string::npos) {
      if (Name.substr(0, Dot) != "f")
        Refuse("допускаются только столбцы таблицы oxFiles (f.столбец), а встретилось '" + T.Shown + "'");
      Name = Name.substr(Dot + 1);
    }
    if (OneOf(Name, Keywords)) Refuse("неожиданное слово '" + T.Shown + "'");
    if (FColumns.count(Name) == 0)
      Refuse("неизвестное имя '" + T.Shown + "' (допускаются только столбцы таблицы oxFiles)");
  }

  const std::set<std::string>& FColumns;
  std::string FPrefix;
  std::vector<TToken> FTokens;
  std::size_t FPos = 0;
  int FDepth = 0;
};

}  // namespace

TFileSqlGuard::TFileSqlGuard(const std::vector<std::string>& Columns) {
  for (const char* C : KnownFileColumns) FColumns.insert(C);
  for (const auto& C : Columns) FColumns.insert(LowerCaseAscii(C));
}

void TFileSqlGuard::CheckFilter(std::string_view Filter) const {
  TChecker(FColumns, "Условие отбора файлов отклонено: ").CheckCondition(Filter);
}

void TFileSqlGuard::CheckOrder(std::string_view Order) const {
  TChecker(FColumns, "Порядок сортировки файлов отклонён: ").CheckOrderList(Order);
}

}  // namespace ordex
