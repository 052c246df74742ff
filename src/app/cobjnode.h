#pragma once
// The object tree: named nodes with a fixed set of attributes, character content and a
// small map of integer-keyed properties, plus the tag text form that reads and writes a
// tree. The text form looks like a very small subset of XML with a grammar of its own:
// no escapes, no comments, no self-closing elements, tag names folded to upper case.
//
// Every walk over a tree (parse, write, clone, search, visit, delete) keeps its own
// stack of nodes instead of recursing, so a tree as deep as its text allows (a 10 MB
// text of "<A>" is three million levels) never exhausts the thread's stack.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <string_view>

#include "app/cfilepath.h"
#include "jobs/cobj.h"
#include "jobs/cstdlist.h"

class QDataStream;
class CObjNode;
class CStringTokenizer;

// The ordered child list of a node. It owns its nodes: clearing or destroying the
// list deletes them.
class CObjNodeList : public CStdList<CObjNode> {
public:
    CObjNodeList() : CStdList<CObjNode>(true) {}

    // Empties the list without deleting anything; the caller takes the nodes over.
    std::list<CObjNode*> TakeAll()
    {
        std::list<CObjNode*> nodes;
        nodes.swap(m_list);
        return nodes;
    }
};

// The value of a decimal text by the C library's atoi rules: leading white space, an
// optional sign, then the leading digits; 0 when there are none. Values beyond the
// 32-bit range give INT32_MAX or INT32_MIN.
int32_t DecimalTextToInt(std::string_view text);

// A new globally unique identifier in its registry text form: 38 characters,
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hexadecimal (a random,
// version 4 identifier).
std::string NewGuidText();

class CObjNode : public CObj {
public:
    using Visitor = std::function<void(CObjNode* node, void* userData)>;

    CObjNode() = default;
    CObjNode(std::string name, int32_t type);
    // Deletes the whole subtree. The node must already be out of its parent's list
    // (DeleteTree takes care of that).
    ~CObjNode() override;
    CObjNode(const CObjNode&) = delete;
    CObjNode& operator=(const CObjNode&) = delete;

    // ---- object protocol
    CObj* CreateNew() const override { return new CObjNode(); }
    // Clears tag, name, type, sibindex, state and guid besides the CObj fields; value,
    // text, op, error and properties stay.
    void Reset() override;
    // Copies name, value, type, state, sibindex, guid and text besides the CObj fields;
    // never tag, op, properties, error, parent or children.
    void CopyFrom(const CObj& other) override;

    // ---- text form
    // "\r\n<TAG " (the tag, or "NODE" when it is empty).
    void WriteOpenTag(std::string& out) override;
    // Rebuilds op from the properties ("1=abc;2=def;" in key text order), then writes
    // " name='..' value='..' guid='..' sibindex='..' type='..' modified='..' state='..' op='..' ".
    // Nothing is escaped.
    void WriteAttributes(std::string& out) override;
    // Each child's WriteText, in list order.
    void WriteChildren(std::string& out) override;
    // "</TAG>", the same tag as the opening one.
    void WriteCloseTag(std::string& out) override;
    // The node and its subtree, each node through its own WriteOpenTag, WriteAttributes
    // and WriteCloseTag, in document order.
    void WriteText(std::string& out) override;
    // Accepts name, value, guid, op and the integers sibindex, type, modified, state
    // (atoi rules); false for any other key.
    bool SetAttribute(const std::string& key, const std::string& value) override;
    // Reads the pairs with either quote character, then rebuilds the properties from op.
    void ParseAttributes(const std::string& text) override;

    // ---- tree
    // A new empty node of the kind that this node's parsed children get.
    virtual CObjNode* CreateNode() const { return new CObjNode(); }
    // Takes this node out of its parent's list and deletes it with its subtree.
    virtual void DeleteTree();
    // A deep copy, parentless, owned by the caller: each node made by its own
    // CreateNode and filled by CopyFrom, plus its tag and properties.
    virtual CObjNode* CloneTree() const;
    // The parser. Reads elements from the tokenizer and appends them as children of
    // this node (and their content below them) until this node's closing tag or the
    // end of the text. Never fails: at an empty tag ("<>"), an empty tag name or a
    // closing tag that does not close the element being read, the parse ends and
    // keeps what it has built (for a stray closing tag, see ReadsPastStrayClosingTags).
    // Only this node's text is touched of this node's own fields. Elements without a
    // guid attribute get a new one.
    virtual void ParseContent(CStringTokenizer& tokenizer);
    // ParseContent over the given text with leading and trailing white space removed.
    virtual void ParseText(const std::string& text);
    // Whether ParseContent on this node passes over a closing tag that closes no open
    // element (and reads on) instead of ending there. False: a general tree does not
    // guess at the structure of a text that is not well formed. Well-formed text is read
    // the same either way.
    virtual bool ReadsPastStrayClosingTags() const { return false; }
    // The property under key as a number (atoi rules); false, value untouched, when absent.
    virtual bool GetIntProperty(int32_t key, int32_t& value) const;
    // The property under key; false, value untouched, when absent.
    virtual bool GetProperty(int32_t key, std::string& value) const;
    virtual bool SetIntProperty(int32_t key, int32_t value);
    // Inserts or replaces the property under key. Always true: every node has its map.
    virtual bool SetProperty(int32_t key, const std::string& value);

    // Pre-order, depth first: the visitor sees this node, then each child's subtree in
    // list order. The visitor must not add or remove nodes.
    void ForEachNode(const Visitor& visitor, void* userData);
    // This node or the first node of its subtree (pre-order) whose tag equals tag
    // exactly; nullptr when none. Parsed tags are upper case.
    CObjNode* FindByTag(std::string_view tag);
    // Appends child (owned from now on) and makes this node its parent. The child must
    // not be in another list.
    void AddChild(CObjNode* child);
    // When node is a child of this node: takes every list entry of it out, clears its
    // parent and returns it, now owned by the caller. Otherwise nullptr.
    CObjNode* RemoveChild(CObjNode* node);
    // DeleteTree on every child.
    void DeleteChildren();
    // Keeps the first index children, detaches the next one and returns it (now owned
    // by the caller) and deletes the children after it; nullptr when there are no more
    // than index children. A caller that parsed a text into this node passes the child
    // count from before the parse to keep just the text's first element.
    CObjNode* DetachFirstChildFrom(std::size_t index);

    // ---- fields
    const std::string& GetName() const { return m_strNodeName; }
    void SetName(std::string name) { m_strNodeName = std::move(name); }
    const std::string& GetValue() const { return m_strValue; }
    void SetValue(std::string value) { m_strValue = std::move(value); }
    const std::string& GetGuid() const { return m_strGuid; }
    void SetGuid(std::string guid) { m_strGuid = std::move(guid); }
    // The character content with leading and trailing white space removed.
    std::string GetText() const;
    // The character content as read.
    const std::string& GetRawText() const { return m_strText; }
    void SetText(std::string text) { m_strText = std::move(text); }
    const std::string& GetTag() const { return m_strTag; }
    void SetTag(std::string tag) { m_strTag = std::move(tag); }
    const std::string& GetOp() const { return m_strOp; }
    const std::string& GetError() const { return m_strError; }
    int32_t GetType() const { return m_nType; }
    void SetType(int32_t type) { m_nType = type; }
    int32_t GetState() const { return m_nState; }
    void SetState(int32_t state) { m_nState = state; }
    int32_t GetSibIndex() const { return m_nSibIndex; }
    void SetSibIndex(int32_t index) { m_nSibIndex = index; }
    // The "modified" attribute is the first CObj integer.
    int32_t GetModified() const { return m_nData1; }
    void SetModified(int32_t modified) { m_nData1 = modified; }
    const std::map<std::string, std::string>& GetProperties() const { return m_properties; }
    CObjNode* GetParent() const { return m_pParent; }
    const CObjNodeList& GetChildren() const { return m_children; }

protected:
    friend class CMFCObjNode;   // the archive form reads and writes every node kind

    // Empties the properties and reads them again from op: "key=value;" entries,
    // empty entries skipped, a value may itself contain "=".
    void PropertiesFromOp();
    // Writes op from the properties, in key text order.
    void OpFromProperties();

    std::string m_strNodeName;     // attribute "name"; not the CObj name
    std::string m_strValue;
    CObjNode* m_pParent = nullptr;  // not owning
    CObjNodeList m_children;
    std::string m_strError;        // message of the last file error
    std::string m_strOp;           // the properties in text form
    // Integer-keyed properties, keys as decimal text, ordered by plain byte comparison
    // of the key text (so "10" sorts before "2").
    std::map<std::string, std::string> m_properties;
    int32_t m_nSibIndex = 0;
    int32_t m_nType = 0;
    int32_t m_nState = 0;
    std::string m_strGuid;
    std::string m_strText;         // character content read between tags
    std::string m_strTag;          // element tag of the text form
};

// The node kind that lives in a tree control and in files: adds the item that shows
// it, two image indexes and the "doc" and "note" attributes.
class CMFCObjNode : public CObjNode {
public:
    CMFCObjNode() = default;
    CMFCObjNode(std::string name, int32_t type) : CObjNode(std::move(name), type) {}

    // A CMFCObjNode, so that Clone keeps every field of this class.
    CObj* CreateNew() const override { return new CMFCObjNode(); }
    // Also clears the tree item, both image indexes, doc and note.
    void Reset() override;
    // As CObjNode; from another CMFCObjNode also image, selectedImage, doc and note
    // (never the tree item, which belongs to one tree control).
    void CopyFrom(const CObj& other) override;
    // The base attributes, then " doc='..' note='..' ".
    void WriteAttributes(std::string& out) override;
    // The base keys, then "doc" and "note".
    bool SetAttribute(const std::string& key, const std::string& value) override;
    CObjNode* CreateNode() const override { return new CMFCObjNode(); }

    // CopyFrom, then the tree item set to none.
    virtual void CopyFromObject(const CMFCObjNode& other);
    // Binary archive form of this node and its subtree: a "PX3T" mark and version,
    // then each node in document order with its tag, attributes, text, image indexes
    // and child count. False when the stream fails.
    virtual bool StoreToArchive(QDataStream& archive);
    // Reads what StoreToArchive wrote: this node takes the stored root's fields and
    // the stored children are appended to its own, each made by CreateNode of its
    // parent. False for a stream without the mark or one that ends early or fails;
    // the nodes read up to there stay.
    virtual bool LoadFromArchive(QDataStream& archive);
    // Creates or truncates the file at path and writes this node's WriteText into it.
    // On a file error the error's message goes to GetError() and the result is false;
    // nothing is thrown.
    virtual bool SaveToFile(const std::string& path);
    // Reads the file at path (8-bit text, up to its first NUL byte) and parses it into
    // this node. Returns the first element of the file as a detached node owned by the
    // caller and deletes the file's other top-level elements; children this node had
    // before stay. nullptr for a missing, unreadable or empty file and for a text
    // without any element.
    virtual CObjNode* LoadFromFile(const std::string& path);

    void* GetTreeItem() const { return m_hTreeItem; }
    void SetTreeItem(void* item) { m_hTreeItem = item; }
    int32_t GetImage() const { return m_nImage; }
    void SetImage(int32_t image) { m_nImage = image; }
    // A negative selected image means the same as the image.
    int32_t GetSelectedImage() const { return m_nSelectedImage; }
    void SetSelectedImage(int32_t image) { m_nSelectedImage = image; }
    const std::string& GetDoc() const { return m_strDoc; }
    void SetDoc(std::string doc) { m_strDoc = std::move(doc); }
    const std::string& GetNote() const { return m_strNote; }
    void SetNote(std::string note) { m_strNote = std::move(note); }

protected:
    void* m_hTreeItem = nullptr;   // the tree-control item showing this node; not owned
    int32_t m_nImage = 0;
    int32_t m_nSelectedImage = 0;
    std::string m_strDoc;
    std::string m_strNote;
    CFtpPath m_ftpPath;            // a remote path; nothing in the tree uses it
};
