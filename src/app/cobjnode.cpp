#include "app/cobjnode.h"

#include <QByteArray>
#include <QDataStream>
#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <unordered_set>
#include <utility>
#include <vector>

#include "app/cstringtokenizer.h"

namespace {

void FoldUpper(std::string& text)
{
    for (char& c : text) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
}

void AppendPair(std::string& out, const char* key, const std::string& value)
{
    out += ' ';
    out += key;
    out += "='";
    out += value;
    out += '\'';
}

void AppendPair(std::string& out, const char* key, int32_t value)
{
    AppendPair(out, key, std::to_string(value));
}

std::string ErrnoText(int error)
{
    return std::system_category().message(error);
}

}  // namespace

int32_t DecimalTextToInt(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && CStringTokenizer::IsWhiteSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value >= limit) {
            value = limit;   // saturated; the remaining digits cannot bring it back
            break;
        }
    }
    return static_cast<int32_t>(negative ? -value : value);
}

std::string NewGuidText()
{
    uint64_t high = QRandomGenerator::global()->generate64();
    uint64_t low = QRandomGenerator::global()->generate64();
    high = (high & ~0xF000ULL) | 0x4000ULL;                            // version 4
    low = (low & ~(0xC0ULL << 56)) | (0x80ULL << 56);                  // RFC 4122 variant
    unsigned char bytes[16];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<unsigned char>(high >> (56 - 8 * i));
        bytes[8 + i] = static_cast<unsigned char>(low >> (56 - 8 * i));
    }
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(38);
    text += '{';
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0F];
    }
    text += '}';
    return text;
}

// ---- CObjNode ------------------------------------------------------------------

CObjNode::CObjNode(std::string name, int32_t type) : m_strNodeName(std::move(name)), m_nType(type)
{
}

CObjNode::~CObjNode()
{
    // Take the subtree apart level by level: every node leaves its list before it is
    // released, so no destructor below this one finds children, and the stack depth
    // stays the same whatever the depth of the tree.
    std::vector<CObjNode*> pending;
    for (CObjNode* child : m_children.TakeAll())
        pending.push_back(child);
    while (!pending.empty()) {
        CObjNode* node = pending.back();
        pending.pop_back();
        if (!node)
            continue;
        for (CObjNode* child : node->m_children.TakeAll())
            pending.push_back(child);
        node->m_pParent = nullptr;
        node->Release();
    }
}

void CObjNode::Reset()
{
    CObj::Reset();
    m_strTag.clear();
    m_strNodeName.clear();
    m_nType = 0;
    m_nSibIndex = 0;
    m_nState = 0;
    m_strGuid.clear();
}

void CObjNode::CopyFrom(const CObj& other)
{
    if (&other == this)
        return;
    CObj::CopyFrom(other);
    const auto* node = dynamic_cast<const CObjNode*>(&other);
    if (!node)
        return;
    m_strNodeName = node->m_strNodeName;
    m_strValue = node->m_strValue;
    m_nType = node->m_nType;
    m_nState = node->m_nState;
    m_nSibIndex = node->m_nSibIndex;
    m_strGuid = node->m_strGuid;
    m_strText = node->m_strText;
}

void CObjNode::WriteOpenTag(std::string& out)
{
    out += "\r\n<";
    out += m_strTag.empty() ? std::string("NODE") : m_strTag;
    out += ' ';
}

void CObjNode::WriteAttributes(std::string& out)
{
    OpFromProperties();
    AppendPair(out, "name", m_strNodeName);
    AppendPair(out, "value", m_strValue);
    AppendPair(out, "guid", m_strGuid);
    AppendPair(out, "sibindex", m_nSibIndex);
    AppendPair(out, "type", m_nType);
    AppendPair(out, "modified", m_nData1);
    AppendPair(out, "state", m_nState);
    AppendPair(out, "op", m_strOp);
    out += ' ';
}

void CObjNode::WriteChildren(std::string& out)
{
    for (CObjNode* child : m_children) {
        if (child)
            child->WriteText(out);
    }
}

void CObjNode::WriteCloseTag(std::string& out)
{
    out += "</";
    out += m_strTag.empty() ? std::string("NODE") : m_strTag;
    out += '>';
}

void CObjNode::WriteText(std::string& out)
{
    // Each entry is a node to open (closing false) or one whose children are all
    // written (closing true).
    struct Step {
        CObjNode* node;
        bool closing;
    };
    std::vector<Step> steps{{this, false}};
    while (!steps.empty()) {
        Step step = steps.back();
        steps.pop_back();
        if (step.closing) {
            step.node->WriteCloseTag(out);
            continue;
        }
        step.node->WriteOpenTag(out);
        step.node->WriteAttributes(out);
        out += '>';
        steps.push_back({step.node, true});
        const CObjNodeList& children = step.node->m_children;
        for (auto it = children.end(); it != children.begin();) {
            --it;
            if (*it)
                steps.push_back({*it, false});
        }
    }
}

bool CObjNode::SetAttribute(const std::string& key, const std::string& value)
{
    if (key == "name")
        m_strNodeName = value;
    else if (key == "value")
        m_strValue = value;
    else if (key == "guid")
        m_strGuid = value;
    else if (key == "sibindex")
        m_nSibIndex = DecimalTextToInt(value);
    else if (key == "type")
        m_nType = DecimalTextToInt(value);
    else if (key == "modified")
        m_nData1 = DecimalTextToInt(value);
    else if (key == "state")
        m_nState = DecimalTextToInt(value);
    else if (key == "op")
        m_strOp = value;
    else
        return false;
    return true;
}

void CObjNode::ParseAttributes(const std::string& text)
{
    BeforeAttributes();
    ParseAttributePairs(text, "'\"");
    PropertiesFromOp();
}

void CObjNode::PropertiesFromOp()
{
    // The cuts of a tokenizer (entries: non-empty fields between ";"; in an entry the
    // key is the first non-empty field before "=", the value all after that "="),
    // done on views so that a long op costs no copies beyond the stored strings.
    m_properties.clear();
    std::string_view rest = m_strOp;
    while (!rest.empty()) {
        std::size_t end = rest.find(';');
        std::string_view entry = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (entry.empty())
            continue;
        std::string_view key;
        std::string_view value;
        std::size_t start = entry.find_first_not_of('=');
        if (start != std::string_view::npos) {
            entry.remove_prefix(start);
            std::size_t equals = entry.find('=');
            key = entry.substr(0, equals);
            if (equals != std::string_view::npos)
                value = entry.substr(equals + 1);
        }
        m_properties.insert_or_assign(std::string(key), std::string(value));
    }
}

void CObjNode::OpFromProperties()
{
    m_strOp.clear();
    for (const auto& [key, value] : m_properties) {
        m_strOp += key;
        m_strOp += '=';
        m_strOp += value;
        m_strOp += ';';
    }
}

void CObjNode::DeleteTree()
{
    if (m_pParent)
        m_pParent->RemoveChild(this);
    Release();
}

CObjNode* CObjNode::CloneTree() const
{
    auto copyOne = [](const CObjNode& source) {
        CObjNode* copy = source.CreateNode();
        copy->CopyFrom(source);
        // A deep copy that can be written out again needs the tag and the properties,
        // which the object protocol's CopyFrom leaves out.
        copy->m_strTag = source.m_strTag;
        copy->m_properties = source.m_properties;
        copy->m_strOp = source.m_strOp;
        return copy;
    };
    CObjNode* root = copyOne(*this);
    std::vector<std::pair<const CObjNode*, CObjNode*>> pending{{this, root}};
    while (!pending.empty()) {
        auto [source, copy] = pending.back();
        pending.pop_back();
        for (const CObjNode* child : source->m_children) {
            if (!child)
                continue;
            CObjNode* childCopy = copyOne(*child);
            copy->AddChild(childCopy);
            pending.emplace_back(child, childCopy);
        }
    }
    return root;
}

void CObjNode::ParseContent(CStringTokenizer& tokenizer)
{
    // The element being read is the top of this stack; its closing tag pops it. The
    // stack replaces one level of recursion per element depth.
    std::vector<CObjNode*> open{this};
    while (!open.empty() && !tokenizer.IsEmpty()) {
        CObjNode* current = open.back();
        // What precedes the next tag is the current element's content; after the parse
        // an element keeps the content that preceded its closing tag.
        current->m_strText = tokenizer.NextToken("<");
        std::string tagText = tokenizer.NextToken(">");
        if (tagText.empty())
            return;   // "<>" or "<" at the end: the rest cannot be read
        for (char& c : tagText) {
            if (c == '\n' || c == '\r' || c == '\t')
                c = ' ';
        }
        CStringTokenizer tagTokens(std::move(tagText), true);
        std::string tagName = tagTokens.NextToken(" ");
        FoldUpper(tagName);
        if (tagName.empty())
            return;
        if (tagName[0] == '?')
            continue;   // a declaration such as "<?xml ...?>"
        if (tagName[0] == '/') {
            if (tagName.size() > 1 && tagName.compare(1, std::string::npos, current->m_strTag) == 0) {
                open.pop_back();   // the current element is complete
                continue;
            }
            // A closing tag that closes nothing open here: the text is not well formed,
            // and reading on would guess at its structure. Keep what is built, unless
            // this node's kind reads by tag alone and wants every later element.
            if (!ReadsPastStrayClosingTags())
                return;
            continue;
        }
        CObjNode* child = current->CreateNode();
        if (!child)
            return;
        child->m_strTag = tagName;
        child->m_strNodeName = std::move(tagName);
        child->ParseAttributes(tagTokens.Remainder());
        if (child->m_strGuid.empty())
            child->m_strGuid = NewGuidText();
        current->AddChild(child);
        open.push_back(child);
    }
}

void CObjNode::ParseText(const std::string& text)
{
    CStringTokenizer tokenizer(text, true);
    ParseContent(tokenizer);
}

bool CObjNode::GetIntProperty(int32_t key, int32_t& value) const
{
    std::string text;
    if (!GetProperty(key, text))
        return false;
    value = DecimalTextToInt(text);
    return true;
}

bool CObjNode::GetProperty(int32_t key, std::string& value) const
{
    auto it = m_properties.find(std::to_string(key));
    if (it == m_properties.end())
        return false;
    value = it->second;
    return true;
}

bool CObjNode::SetIntProperty(int32_t key, int32_t value)
{
    return SetProperty(key, std::to_string(value));
}

bool CObjNode::SetProperty(int32_t key, const std::string& value)
{
    m_properties[std::to_string(key)] = value;
    return true;
}

void CObjNode::ForEachNode(const Visitor& visitor, void* userData)
{
    std::vector<CObjNode*> pending{this};
    while (!pending.empty()) {
        CObjNode* node = pending.back();
        pending.pop_back();
        visitor(node, userData);
        for (auto it = node->m_children.end(); it != node->m_children.begin();) {
            --it;
            if (*it)
                pending.push_back(*it);
        }
    }
}

CObjNode* CObjNode::FindByTag(std::string_view tag)
{
    std::vector<CObjNode*> pending{this};
    while (!pending.empty()) {
        CObjNode* node = pending.back();
        pending.pop_back();
        if (node->m_strTag == tag)
            return node;
        for (auto it = node->m_children.end(); it != node->m_children.begin();) {
            --it;
            if (*it)
                pending.push_back(*it);
        }
    }
    return nullptr;
}

void CObjNode::AddChild(CObjNode* child)
{
    if (!child || child == this)
        return;
    // A node is owned by one list, once: listed twice it would be deleted twice.
    if (child->m_pParent == this) {
        for (CObjNode* listed : m_children)
            if (listed == child)
                return;
    } else if (child->m_pParent) {
        child->m_pParent->RemoveChild(child);
    }
    child->m_pParent = this;
    m_children.Append(child);
}

CObjNode* CObjNode::RemoveChild(CObjNode* node)
{
    if (!node || !m_children.Detach(node))
        return nullptr;
    while (m_children.Detach(node)) {
    }
    node->m_pParent = nullptr;
    return node;
}

void CObjNode::DeleteChildren()
{
    // The whole list is taken at once (removing children one by one from the front
    // would rescan the list for each): each node is unlinked before DeleteTree, so a
    // child listed twice or with a stale parent link is deleted once and only once.
    std::unordered_set<CObjNode*> seen;
    for (CObjNode* child : m_children.TakeAll()) {
        if (!child || !seen.insert(child).second)
            continue;
        child->m_pParent = nullptr;
        child->DeleteTree();
    }
}

CObjNode* CObjNode::DetachFirstChildFrom(std::size_t index)
{
    // One pass over the list: the children before index go back in order, the first
    // one from index is handed out, the rest are deleted.
    CObjNode* first = nullptr;
    std::vector<CObjNode*> others;
    std::size_t position = 0;
    for (CObjNode* child : m_children.TakeAll()) {
        if (position++ < index)
            m_children.Append(child);
        else if (!first && child)
            first = child;
        else if (child && child != first)
            others.push_back(child);
    }
    if (first)
        first->m_pParent = nullptr;
    std::unordered_set<CObjNode*> seen;
    for (CObjNode* other : others) {
        if (!seen.insert(other).second)
            continue;
        other->m_pParent = nullptr;
        other->DeleteTree();
    }
    return first;
}

std::string CObjNode::GetText() const
{
    return std::string(CStringTokenizer::Trim(m_strText));
}

// ---- CMFCObjNode ---------------------------------------------------------------

void CMFCObjNode::Reset()
{
    CObjNode::Reset();
    m_hTreeItem = nullptr;
    m_nImage = 0;
    m_nSelectedImage = 0;
    m_strDoc.clear();
    m_strNote.clear();
}

void CMFCObjNode::CopyFrom(const CObj& other)
{
    if (&other == this)
        return;
    CObjNode::CopyFrom(other);
    const auto* node = dynamic_cast<const CMFCObjNode*>(&other);
    if (!node)
        return;
    m_nImage = node->m_nImage;
    m_nSelectedImage = node->m_nSelectedImage;
    m_strDoc = node->m_strDoc;
    m_strNote = node->m_strNote;
}

void CMFCObjNode::WriteAttributes(std::string& out)
{
    CObjNode::WriteAttributes(out);
    AppendPair(out, "doc", m_strDoc);
    AppendPair(out, "note", m_strNote);
    out += ' ';
}

bool CMFCObjNode::SetAttribute(const std::string& key, const std::string& value)
{
    if (CObjNode::SetAttribute(key, value))
        return true;
    if (key == "doc")
        m_strDoc = value;
    else if (key == "note")
        m_strNote = value;
    else
        return false;
    return true;
}

void CMFCObjNode::CopyFromObject(const CMFCObjNode& other)
{
    CopyFrom(other);
    m_hTreeItem = nullptr;
}

namespace {

constexpr quint32 kArchiveMark = 0x50583354;   // "PX3T"
constexpr quint32 kArchiveVersion = 1;

void WriteArchiveText(QDataStream& archive, const std::string& text)
{
    archive << QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

bool ReadArchiveText(QDataStream& archive, std::string& text)
{
    QByteArray bytes;
    archive >> bytes;
    text.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return archive.status() == QDataStream::Ok;
}

}  // namespace

bool CMFCObjNode::StoreToArchive(QDataStream& archive)
{
    archive << kArchiveMark << kArchiveVersion;
    std::vector<CObjNode*> pending{this};
    while (!pending.empty() && archive.status() == QDataStream::Ok) {
        CObjNode* node = pending.back();
        pending.pop_back();
        node->OpFromProperties();
        auto* mfc = dynamic_cast<CMFCObjNode*>(node);
        WriteArchiveText(archive, node->m_strTag);
        WriteArchiveText(archive, node->m_strNodeName);
        WriteArchiveText(archive, node->m_strValue);
        WriteArchiveText(archive, node->m_strGuid);
        WriteArchiveText(archive, node->m_strOp);
        WriteArchiveText(archive, node->m_strText);
        WriteArchiveText(archive, mfc ? mfc->m_strDoc : std::string());
        WriteArchiveText(archive, mfc ? mfc->m_strNote : std::string());
        archive << qint32(node->m_nSibIndex) << qint32(node->m_nType) << qint32(node->m_nData1)
                << qint32(node->m_nState) << qint32(mfc ? mfc->m_nImage : 0)
                << qint32(mfc ? mfc->m_nSelectedImage : 0);
        std::vector<CObjNode*> children;
        for (CObjNode* child : node->m_children) {
            if (child)
                children.push_back(child);
        }
        archive << quint32(children.size());
        pending.insert(pending.end(), children.rbegin(), children.rend());
    }
    return archive.status() == QDataStream::Ok;
}

bool CMFCObjNode::LoadFromArchive(QDataStream& archive)
{
    quint32 mark = 0;
    quint32 version = 0;
    archive >> mark >> version;
    if (archive.status() != QDataStream::Ok || mark != kArchiveMark || version != kArchiveVersion)
        return false;
    // Each entry: a node whose stored children are still to come, and how many.
    std::vector<std::pair<CObjNode*, quint32>> open;
    CObjNode* node = this;
    for (;;) {
        std::string doc;
        std::string note;
        qint32 numbers[6] = {};
        quint32 children = 0;
        bool ok = ReadArchiveText(archive, node->m_strTag) && ReadArchiveText(archive, node->m_strNodeName) &&
                  ReadArchiveText(archive, node->m_strValue) && ReadArchiveText(archive, node->m_strGuid) &&
                  ReadArchiveText(archive, node->m_strOp) && ReadArchiveText(archive, node->m_strText) &&
                  ReadArchiveText(archive, doc) && ReadArchiveText(archive, note);
        if (ok) {
            for (qint32& number : numbers)
                archive >> number;
            archive >> children;
            ok = archive.status() == QDataStream::Ok;
        }
        node->PropertiesFromOp();
        if (!ok)
            return false;
        node->m_nSibIndex = numbers[0];
        node->m_nType = numbers[1];
        node->m_nData1 = numbers[2];
        node->m_nState = numbers[3];
        if (auto* mfc = dynamic_cast<CMFCObjNode*>(node)) {
            mfc->m_strDoc = std::move(doc);
            mfc->m_strNote = std::move(note);
            mfc->m_nImage = numbers[4];
            mfc->m_nSelectedImage = numbers[5];
        }
        if (children > 0)
            open.emplace_back(node, children);
        while (!open.empty() && open.back().second == 0)
            open.pop_back();
        if (open.empty())
            return true;
        CObjNode* parent = open.back().first;
        --open.back().second;
        node = parent->CreateNode();
        if (!node)
            return false;
        parent->AddChild(node);
    }
}

bool CMFCObjNode::SaveToFile(const std::string& path)
{
    std::string text;
    WriteText(text);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        m_strError = ErrnoText(errno);
        return false;
    }
    std::size_t written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            m_strError = ErrnoText(errno);
            ::close(fd);
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        m_strError = ErrnoText(errno);
        return false;
    }
    return true;
}

CObjNode* CMFCObjNode::LoadFromFile(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return nullptr;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(got);
    // The text ends at its first NUL byte, as a C string read from the file would.
    std::size_t nul = text.find('\0');
    if (nul != std::string::npos)
        text.resize(nul);
    if (text.empty())
        return nullptr;

    // Children this node already has are not part of the file: remember where the
    // file's elements start.
    std::size_t before = m_children.GetCount();
    ParseText(text);
    if (m_children.GetCount() <= before)
        return nullptr;
    return DetachFirstChildFrom(before);
}
