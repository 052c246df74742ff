// libFuzzer target for the object tree's tag text parser (and, on the same bytes, the
// archive reader). Built by build-objtree.sh,
// not by CMake. Each input is parsed into a holder; the tree must be consistent
// (every child links back to its parent), written text must hold exactly one
// "\r\n<" per node (parsed attribute values cannot contain a line break, since tag
// text has its line breaks turned into blanks), and the written text, the deep copy
// and a second parse must all come through the sanitizers.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <QByteArray>
#include <QDataStream>

#include "app/cobjnode.h"

namespace {

std::size_t CountNodes(CObjNode* root)
{
    std::size_t count = 0;
    std::vector<CObjNode*> pending{root};
    while (!pending.empty()) {
        CObjNode* node = pending.back();
        pending.pop_back();
        ++count;
        for (CObjNode* child : node->GetChildren()) {
            if (child->GetParent() != node)
                __builtin_trap();
            pending.push_back(child);
        }
    }
    return count;
}

std::size_t CountOpenings(const std::string& text)
{
    std::size_t count = 0;
    for (std::size_t at = text.find("\r\n<"); at != std::string::npos; at = text.find("\r\n<", at + 3))
        ++count;
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    CMFCObjNode holder;
    holder.ParseText(text);
    std::size_t nodes = CountNodes(&holder);

    std::string written;
    holder.WriteText(written);
    if (CountOpenings(written) != nodes)
        __builtin_trap();

    CObjNode* copy = holder.CloneTree();
    if (CountNodes(copy) != nodes)
        __builtin_trap();
    std::string copyText;
    copy->WriteText(copyText);
    if (copyText != written)
        __builtin_trap();   // the deep copy keeps tags, attributes and properties
    copy->DeleteTree();

    CMFCObjNode again;
    again.ParseText(written);
    CountNodes(&again);

    // The holder keeps only its first element, as the file loader does.
    if (CObjNode* first = holder.DetachFirstChildFrom(0)) {
        if (first->GetParent() != nullptr || !holder.GetChildren().IsEmpty())
            __builtin_trap();
        first->DeleteTree();
    }

    // The same bytes as an archive: must fail or succeed without harm, and a tree it
    // builds must be consistent.
    QDataStream archive(QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    CMFCObjNode loaded;
    loaded.LoadFromArchive(archive);
    CountNodes(&loaded);
    return 0;
}
