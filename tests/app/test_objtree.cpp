// The object tree and its tag text: tokenizer, text form, parser, the "op" property
// rules, tree operations, files, and hostile input (random bytes, deep nesting,
// unterminated tags, large texts).
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <QBuffer>
#include <QByteArray>
#include <QDataStream>

#include "app/cobjnode.h"
#include "app/cstringtokenizer.h"

namespace {

namespace fs = std::filesystem;

// A parse holder that deletes whatever it ends up owning.
struct Holder {
    CObjNode node;
    CObjNode* Parse(const std::string& text)
    {
        node.ParseText(text);
        return node.GetChildren().First();
    }
};

// Walks the tree without recursion and checks that every child links back to its
// parent; returns the node count and the greatest depth.
struct TreeShape {
    std::size_t nodes = 0;
    std::size_t depth = 0;
};
TreeShape CheckedShape(CObjNode* root)
{
    TreeShape shape;
    std::vector<std::pair<CObjNode*, std::size_t>> pending{{root, 0}};
    while (!pending.empty()) {
        auto [node, depth] = pending.back();
        pending.pop_back();
        ++shape.nodes;
        shape.depth = std::max(shape.depth, depth);
        for (CObjNode* child : node->GetChildren()) {
            EXPECT_EQ(child->GetParent(), node);
            pending.emplace_back(child, depth + 1);
        }
    }
    return shape;
}

std::string Written(CObjNode& node)
{
    std::string out;
    node.WriteText(out);
    return out;
}

fs::path TempDir()
{
    fs::path dir = fs::temp_directory_path() / ("px3-objtree-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return dir;
}

}  // namespace

// ---- CStringTokenizer ------------------------------------------------------------

TEST(StringTokenizer, CutsFrontToBackAndConsumesOneDelimiter)
{
    CStringTokenizer tok(" \t a=b;;c=d=e \r\n", true);
    EXPECT_EQ(tok.Remainder(), "a=b;;c=d=e");
    EXPECT_EQ(tok.NextToken(";="), "a");
    EXPECT_EQ(tok.NextToken(";"), "b");
    EXPECT_EQ(tok.NextToken(";"), "");            // the empty field between ";;"
    EXPECT_EQ(tok.NextToken("="), "c");
    EXPECT_EQ(tok.Remainder(), "d=e");
    EXPECT_EQ(tok.NextToken(";"), "d=e");         // no delimiter: all of it
    EXPECT_TRUE(tok.IsEmpty());
    EXPECT_EQ(tok.NextToken(";"), "");

    CStringTokenizer untrimmed("  x  ");
    EXPECT_EQ(untrimmed.Remainder(), "  x  ");
    CStringTokenizer blanks(" \t\r\n", true);
    EXPECT_TRUE(blanks.IsEmpty());
}

TEST(StringTokenizer, NextNonEmptyTokenSkipsEmptyFields)
{
    CStringTokenizer tok(";;;abc;;def;;");
    EXPECT_EQ(tok.NextNonEmptyToken(";"), "abc");
    EXPECT_EQ(tok.NextNonEmptyToken(";"), "def");
    EXPECT_EQ(tok.NextNonEmptyToken(";"), "");
    EXPECT_TRUE(tok.IsEmpty());
}

TEST(DecimalText, FollowsAtoiRulesAndSaturates)
{
    EXPECT_EQ(DecimalTextToInt("  -12abc"), -12);
    EXPECT_EQ(DecimalTextToInt("+7"), 7);
    EXPECT_EQ(DecimalTextToInt("abc"), 0);
    EXPECT_EQ(DecimalTextToInt(""), 0);
    EXPECT_EQ(DecimalTextToInt("-"), 0);
    EXPECT_EQ(DecimalTextToInt("2147483647"), INT32_MAX);
    EXPECT_EQ(DecimalTextToInt("-2147483648"), INT32_MIN);
    EXPECT_EQ(DecimalTextToInt("99999999999999999999999"), INT32_MAX);
    EXPECT_EQ(DecimalTextToInt("-99999999999999999999999"), INT32_MIN);
}

// ---- text form of a plain CObj ------------------------------------------------------

namespace {
struct RecordingObj : CObj {
    std::vector<std::pair<std::string, std::string>> pairs;
    int before = 0;
    void BeforeAttributes() override { ++before; }
    bool SetAttribute(const std::string& key, const std::string& value) override
    {
        pairs.emplace_back(key, value);
        return false;
    }
};
}  // namespace

TEST(ObjTextForm, PlainObjectWritesEmptyElementAndReadsSingleQuotesOnly)
{
    CObj obj;
    std::string out;
    obj.WriteText(out);
    EXPECT_EQ(out, "\r\n<CObj ></CObj>");
    EXPECT_FALSE(obj.SetAttribute("name", "x"));

    RecordingObj rec;
    rec.ParseAttributes("  A = ' one ' bB='2'   c=\"3\" d='4'");
    EXPECT_EQ(rec.before, 1);
    ASSERT_GE(rec.pairs.size(), 3u);
    EXPECT_EQ(rec.pairs[0], std::make_pair(std::string("a"), std::string("one")));
    EXPECT_EQ(rec.pairs[1], std::make_pair(std::string("bb"), std::string("2")));
    // A double quote does not open a value for a plain CObj: the value of c runs from
    // the next single quote to the one after it.
    EXPECT_EQ(rec.pairs[2].first, "c");
    EXPECT_EQ(rec.pairs[2].second, "4");
}

// ---- writing nodes ----------------------------------------------------------------

TEST(ObjNodeText, WritesTheDocumentedAttributeLine)
{
    CObjNode node;
    node.SetTag("BUILD");
    node.SetName("x");
    EXPECT_EQ(Written(node),
              "\r\n<BUILD  name='x' value='' guid='' sibindex='0' type='0' modified='0' state='0' op='' ></BUILD>");

    CObjNode untagged("n", 3);
    EXPECT_EQ(untagged.GetType(), 3);
    std::string out = Written(untagged);
    EXPECT_EQ(out.rfind("\r\n<NODE  name='n'", 0), 0u) << out;
    EXPECT_NE(out.find("</NODE>"), std::string::npos);

    CMFCObjNode mfc;
    mfc.SetTag("F");
    mfc.SetDoc("d");
    mfc.SetNote("n");
    EXPECT_EQ(Written(mfc),
              "\r\n<F  name='' value='' guid='' sibindex='0' type='0' modified='0' state='0' op=''  doc='d' note='n' ></F>");
}

// ---- parsing ----------------------------------------------------------------------

TEST(ObjNodeParse, ElementWithNameAndContent)
{
    Holder h;
    CObjNode* build = h.Parse("<build name='a'>x</build>");
    ASSERT_NE(build, nullptr);
    EXPECT_EQ(h.node.GetChildren().GetCount(), 1u);
    EXPECT_EQ(build->GetTag(), "BUILD");
    EXPECT_EQ(build->GetName(), "a");
    EXPECT_EQ(build->GetText(), "x");
    EXPECT_EQ(build->GetParent(), &h.node);
    EXPECT_TRUE(std::regex_match(build->GetGuid(),
        std::regex(R"(\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\})")))
        << build->GetGuid();
    EXPECT_EQ(h.node.GetRawText(), "");
    EXPECT_TRUE(h.node.GetTag().empty());
    EXPECT_TRUE(h.node.GetGuid().empty());   // the holder's own attributes stay as they were
}

TEST(ObjNodeParse, TagNameIsTheDefaultNameAndAttributesAreCaseInsensitive)
{
    Holder h;
    CObjNode* n = h.Parse("<Item\r\n\tVALUE = \"  v 1 \"\tType='-5x' Guid='{G}' unknown='z'></ITEM>");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->GetName(), "ITEM");
    EXPECT_EQ(n->GetValue(), "v 1");
    EXPECT_EQ(n->GetType(), -5);
    EXPECT_EQ(n->GetGuid(), "{G}");
    EXPECT_FALSE(n->SetAttribute("unknown", "z"));
}

TEST(ObjNodeParse, DeclarationsSkippedUnterminatedElementsKept)
{
    Holder h;
    CObjNode* a = h.Parse("<?xml version='1.0'?>\r\n<A></A>");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetTag(), "A");
    EXPECT_EQ(h.node.GetChildren().GetCount(), 1u);

    Holder open;
    CObjNode* lone = open.Parse("<A>");
    ASSERT_NE(lone, nullptr);
    EXPECT_EQ(lone->GetTag(), "A");
    EXPECT_TRUE(lone->GetChildren().IsEmpty());
    EXPECT_EQ(lone->GetRawText(), "");

    // Grammar consequences: no self-closing elements, comments become elements, text
    // after the last tag is the holder's text.
    Holder self;
    CObjNode* x = self.Parse("<X/><Y></Y>");
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->GetTag(), "X/");
    ASSERT_EQ(x->GetChildren().GetCount(), 1u);
    EXPECT_EQ(x->GetChildren().First()->GetTag(), "Y");

    Holder tail;
    tail.Parse("<A></A> trailing words");
    EXPECT_EQ(tail.node.GetText(), "trailing words");
}

TEST(ObjNodeParse, NestedTreeAndParseAppendsToHolder)
{
    Holder h;
    h.Parse("<ROOT>lead<A>1</A>mid<B><C>3</C></B>end</ROOT>");
    CObjNode* root = h.node.GetChildren().First();
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(root->GetChildren().GetCount(), 2u);
    EXPECT_EQ(root->GetText(), "end");   // the content that preceded its closing tag
    EXPECT_EQ(root->GetChildren().GetAt(0)->GetText(), "1");
    CObjNode* c = root->FindByTag("C");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->GetParent()->GetTag(), "B");
    EXPECT_EQ(c->GetText(), "3");

    h.node.ParseText("<SECOND></SECOND>");
    ASSERT_EQ(h.node.GetChildren().GetCount(), 2u);
    EXPECT_EQ(h.node.GetChildren().GetAt(1)->GetTag(), "SECOND");
}

// A closing tag that closes nothing open must not be read as an opening tag (which
// would nest the rest of the text under an element called "/X"): the parse ends there
// and keeps the elements read so far.
TEST(ObjNodeParse, MismatchedClosingTagEndsTheParse)
{
    Holder h;
    h.Parse("<A><B>b</C>lost<D></D></B></A><E></E>");
    CObjNode* a = h.node.GetChildren().First();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(h.node.GetChildren().GetCount(), 1u);
    ASSERT_EQ(a->GetChildren().GetCount(), 1u);
    CObjNode* b = a->GetChildren().First();
    EXPECT_EQ(b->GetTag(), "B");
    EXPECT_EQ(b->GetText(), "b");
    EXPECT_TRUE(b->GetChildren().IsEmpty());
    EXPECT_EQ(h.node.FindByTag("/C"), nullptr);
    EXPECT_EQ(h.node.FindByTag("D"), nullptr);
    EXPECT_EQ(h.node.FindByTag("E"), nullptr);

    for (const char* text : {"</A><B></B>", "<A></></A><B></B>", "<A></ A><B></B>", "<A><>x</A><B></B>"}) {
        Holder bad;
        bad.Parse(text);
        EXPECT_EQ(bad.node.FindByTag("B"), nullptr) << text;
        for (CObjNode* child : bad.node.GetChildren())
            EXPECT_NE(child->GetTag().substr(0, 1), "/") << text;
    }
}

TEST(ObjNodeParse, FindByTagIsExact)
{
    Holder h;
    h.Parse("<Feature></Feature>");
    EXPECT_NE(h.node.FindByTag("FEATURE"), nullptr);
    EXPECT_EQ(h.node.FindByTag("Feature"), nullptr);
}

// ---- the "op" properties ------------------------------------------------------------

TEST(ObjNodeProperties, OpIsReadIntoTheMapAndWrittenInKeyTextOrder)
{
    Holder h;
    CObjNode* n = h.Parse("<N op='3=x;1=y;;'></N>");
    ASSERT_NE(n, nullptr);
    std::string v;
    ASSERT_TRUE(n->GetProperty(1, v));
    EXPECT_EQ(v, "y");
    ASSERT_TRUE(n->GetProperty(3, v));
    EXPECT_EQ(v, "x");
    EXPECT_EQ(n->GetProperties().size(), 2u);
    EXPECT_NE(Written(*n).find("op='1=y;3=x;'"), std::string::npos);

    // A value may contain "="; it survives a write and a parse.
    CObjNode p;
    p.SetTag("P");
    ASSERT_TRUE(p.SetProperty(5, "a=b"));
    std::string text = Written(p);
    EXPECT_NE(text.find("op='5=a=b;'"), std::string::npos) << text;
    Holder back;
    CObjNode* q = back.Parse(text);
    ASSERT_NE(q, nullptr);
    ASSERT_TRUE(q->GetProperty(5, v));
    EXPECT_EQ(v, "a=b");

    // Keys are ordered as text: "10" before "2".
    CObjNode k;
    ASSERT_TRUE(k.SetIntProperty(10, 7));
    ASSERT_TRUE(k.SetIntProperty(2, 1));
    EXPECT_NE(Written(k).find("op='10=7;2=1;'"), std::string::npos);
    EXPECT_EQ(k.GetOp(), "10=7;2=1;");
}

TEST(ObjNodeProperties, AbsentKeysLeaveTheOutputAloneAndReplaceOverwrites)
{
    CObjNode n;
    std::string s = "keep";
    int32_t i = 42;
    EXPECT_FALSE(n.GetProperty(9, s));
    EXPECT_FALSE(n.GetIntProperty(9, i));
    EXPECT_EQ(s, "keep");
    EXPECT_EQ(i, 42);
    n.SetProperty(9, "12abc");
    n.SetProperty(-1, "neg");
    ASSERT_TRUE(n.GetIntProperty(9, i));
    EXPECT_EQ(i, 12);
    n.SetIntProperty(9, -3);
    ASSERT_TRUE(n.GetIntProperty(9, i));
    EXPECT_EQ(i, -3);
    ASSERT_TRUE(n.GetProperty(-1, s));
    EXPECT_EQ(s, "neg");

    // Parsing attributes rebuilds the map from op, so a parse without op empties it.
    n.ParseAttributes("name='z'");
    EXPECT_TRUE(n.GetProperties().empty());
    EXPECT_EQ(n.GetName(), "z");
}

// ---- round trip ---------------------------------------------------------------------

TEST(ObjNodeText, WriteThenParseGivesTheSameTree)
{
    CObjNode root;
    root.SetTag("INDEX");
    root.SetName("root name");
    root.SetValue("3.0.1");
    root.SetGuid("{00000000-0000-4000-8000-000000000001}");
    root.SetSibIndex(-2);
    root.SetType(7);
    root.SetModified(20240131);
    root.SetState(0x55);
    root.SetProperty(1, "one");
    root.SetProperty(20, "k=v");
    for (int i = 0; i < 3; ++i) {
        auto* child = new CObjNode("file" + std::to_string(i), i);
        child->SetTag("FILE");
        child->SetValue("ü/ö " + std::to_string(i));   // UTF-8 passes through
        child->SetIntProperty(i, i * 100);
        root.AddChild(child);
        auto* leaf = new CObjNode("leaf", 9);
        leaf->SetTag("LEAF");
        child->AddChild(leaf);
    }

    std::string text = Written(root);
    Holder h;
    CObjNode* back = h.Parse(text);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(h.node.GetChildren().GetCount(), 1u);

    // Same shape, and every written field of every node equal, in document order.
    std::vector<CObjNode*> a, b;
    root.ForEachNode([](CObjNode* n, void* list) { static_cast<std::vector<CObjNode*>*>(list)->push_back(n); }, &a);
    back->ForEachNode([](CObjNode* n, void* list) { static_cast<std::vector<CObjNode*>*>(list)->push_back(n); }, &b);
    ASSERT_EQ(a.size(), 7u);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(a[i]->GetTag(), b[i]->GetTag());
        EXPECT_EQ(a[i]->GetName(), b[i]->GetName());
        EXPECT_EQ(a[i]->GetValue(), b[i]->GetValue());
        EXPECT_EQ(a[i]->GetSibIndex(), b[i]->GetSibIndex());
        EXPECT_EQ(a[i]->GetType(), b[i]->GetType());
        EXPECT_EQ(a[i]->GetModified(), b[i]->GetModified());
        EXPECT_EQ(a[i]->GetState(), b[i]->GetState());
        EXPECT_EQ(a[i]->GetProperties(), b[i]->GetProperties());
        EXPECT_EQ(a[i]->GetChildren().GetCount(), b[i]->GetChildren().GetCount());
    }
    EXPECT_EQ(back->GetGuid(), "{00000000-0000-4000-8000-000000000001}");
    // Nodes written with an empty guid got fresh, distinct ones when read back.
    std::set<std::string> guids;
    for (CObjNode* n : b)
        guids.insert(n->GetGuid());
    EXPECT_EQ(guids.size(), b.size());
    // Writing the parsed tree again gives the same text but for the new guids.
    std::string again = Written(*back);
    EXPECT_EQ(std::count(again.begin(), again.end(), '<'), std::count(text.begin(), text.end(), '<'));
}

// ---- object protocol and tree operations ------------------------------------------------

TEST(ObjNodeTree, ResetAndCopyFromCoverTheirFieldsOnly)
{
    Holder h;
    CObjNode* n = h.Parse("<T name='n' value='v' guid='g' sibindex='1' type='2' modified='3' state='4' op='1=a;'>txt</T>");
    ASSERT_NE(n, nullptr);
    CObjNode copy;
    copy.CopyFrom(*n);
    EXPECT_EQ(copy.GetName(), "n");
    EXPECT_EQ(copy.GetValue(), "v");
    EXPECT_EQ(copy.GetGuid(), "g");
    EXPECT_EQ(copy.GetSibIndex(), 1);
    EXPECT_EQ(copy.GetType(), 2);
    EXPECT_EQ(copy.GetModified(), 3);
    EXPECT_EQ(copy.GetState(), 4);
    EXPECT_EQ(copy.GetText(), "txt");
    EXPECT_TRUE(copy.GetTag().empty());
    EXPECT_TRUE(copy.GetProperties().empty());
    EXPECT_EQ(copy.GetParent(), nullptr);

    n->Reset();
    EXPECT_TRUE(n->GetTag().empty());
    EXPECT_TRUE(n->GetName().empty());
    EXPECT_TRUE(n->GetGuid().empty());
    EXPECT_EQ(n->GetType() | n->GetSibIndex() | n->GetState() | n->GetModified(), 0);
    EXPECT_EQ(n->GetValue(), "v");
    EXPECT_EQ(n->GetText(), "txt");
    EXPECT_EQ(n->GetProperties().size(), 1u);
}

TEST(ObjNodeTree, CMFCNodesCloneWholeAndParseDocAndNote)
{
    CMFCObjNode holder;
    holder.ParseText("<F doc='manual.pdf' NOTE=\"n\"><G></G></F>");
    auto* f = dynamic_cast<CMFCObjNode*>(holder.GetChildren().First());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->GetDoc(), "manual.pdf");
    EXPECT_EQ(f->GetNote(), "n");
    EXPECT_NE(dynamic_cast<CMFCObjNode*>(f->GetChildren().First()), nullptr);

    f->SetImage(4);
    f->SetSelectedImage(-1);
    int item = 0;
    f->SetTreeItem(&item);
    CObj* clone = f->Clone();
    auto* c = dynamic_cast<CMFCObjNode*>(clone);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->GetDoc(), "manual.pdf");
    EXPECT_EQ(c->GetImage(), 4);
    EXPECT_EQ(c->GetSelectedImage(), -1);
    EXPECT_EQ(c->GetTreeItem(), nullptr);
    clone->Release();

    CMFCObjNode other;
    other.SetTreeItem(&item);
    other.CopyFromObject(*f);
    EXPECT_EQ(other.GetNote(), "n");
    EXPECT_EQ(other.GetTreeItem(), nullptr);
    f->Reset();
    EXPECT_TRUE(f->GetDoc().empty());
    EXPECT_EQ(f->GetImage(), 0);
    EXPECT_EQ(f->GetTreeItem(), nullptr);
}

TEST(ObjNodeTree, CloneRemoveAndDeleteSubtrees)
{
    Holder h;
    h.Parse("<R op='1=p;'><A><A1></A1></A><B></B><C></C></R>");
    CObjNode* r = h.node.GetChildren().First();
    ASSERT_NE(r, nullptr);

    CObjNode* copy = r->CloneTree();
    EXPECT_EQ(copy->GetParent(), nullptr);
    EXPECT_EQ(Written(*copy), Written(*r));   // same tags, attributes and properties
    EXPECT_EQ(CheckedShape(copy).nodes, 5u);
    copy->DeleteTree();

    std::vector<std::string> order;
    r->ForEachNode([](CObjNode* n, void* out) { static_cast<std::vector<std::string>*>(out)->push_back(n->GetTag()); }, &order);
    EXPECT_EQ(order, (std::vector<std::string>{"R", "A", "A1", "B", "C"}));

    CObjNode* b = r->FindByTag("B");
    EXPECT_EQ(r->RemoveChild(b), b);
    EXPECT_EQ(b->GetParent(), nullptr);
    EXPECT_EQ(r->RemoveChild(b), nullptr);   // no longer a child
    CObjNode* a1 = r->FindByTag("A1");
    EXPECT_EQ(r->RemoveChild(a1), nullptr);  // a grandchild, not a child
    b->DeleteTree();

    r->FindByTag("A")->DeleteTree();         // the rest of the tree lives on
    ASSERT_EQ(r->GetChildren().GetCount(), 1u);
    EXPECT_EQ(r->GetChildren().First()->GetTag(), "C");
    r->DeleteChildren();
    EXPECT_TRUE(r->GetChildren().IsEmpty());
}

TEST(ObjNodeTree, GuidsAreRegistryFormAndDistinct)
{
    std::regex form(R"(\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\})");
    std::set<std::string> seen;
    for (int i = 0; i < 10000; ++i) {
        std::string g = NewGuidText();
        ASSERT_EQ(g.size(), 38u);
        ASSERT_TRUE(std::regex_match(g, form)) << g;
        seen.insert(g);
    }
    EXPECT_EQ(seen.size(), 10000u);
}

// ---- files ------------------------------------------------------------------------------

TEST(ObjNodeFile, SaveAndLoadKeepFirstElementAndEarlierChildren)
{
    fs::path dir = TempDir();
    std::string path = (dir / "tree.txt").string();

    CMFCObjNode tree;
    tree.SetTag("UPDATE");
    tree.SetName("u");
    tree.SetNote("ä note");
    auto* file = new CMFCObjNode("f", 1);
    file->SetTag("FILE");
    tree.AddChild(file);
    ASSERT_TRUE(tree.SaveToFile(path)) << tree.GetError();

    CMFCObjNode loader;
    auto* earlier = new CObjNode("kept", 0);
    loader.AddChild(earlier);
    CObjNode* loaded = loader.LoadFromFile(path);
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->GetParent(), nullptr);
    EXPECT_EQ(loaded->GetTag(), "UPDATE");
    EXPECT_EQ(dynamic_cast<CMFCObjNode*>(loaded)->GetNote(), "ä note");
    ASSERT_EQ(loaded->GetChildren().GetCount(), 1u);
    EXPECT_EQ(loaded->GetChildren().First()->GetName(), "f");
    ASSERT_EQ(loader.GetChildren().GetCount(), 1u);
    EXPECT_EQ(loader.GetChildren().First(), earlier);
    loaded->DeleteTree();

    // Several top-level elements: the first is returned, the others are deleted.
    std::ofstream(path, std::ios::binary) << "<A></A><B></B><C></C>";
    CMFCObjNode second;
    CObjNode* first = second.LoadFromFile(path);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->GetTag(), "A");
    EXPECT_TRUE(second.GetChildren().IsEmpty());
    first->DeleteTree();

    // The text ends at the first NUL byte.
    {
        std::ofstream out(path, std::ios::binary);
        out.write("<A></A>\0<B></B>", 15);
    }
    CMFCObjNode third;
    CObjNode* cut = third.LoadFromFile(path);
    ASSERT_NE(cut, nullptr);
    EXPECT_TRUE(cut->GetChildren().IsEmpty());
    EXPECT_EQ(cut->FindByTag("B"), nullptr);
    cut->DeleteTree();
    fs::remove_all(dir);
}

TEST(ObjNodeFile, MissingEmptyOrElementlessFilesGiveNothing)
{
    fs::path dir = TempDir();
    CMFCObjNode n;
    EXPECT_EQ(n.LoadFromFile((dir / "missing.txt").string()), nullptr);
    EXPECT_EQ(n.LoadFromFile(dir.string()), nullptr);   // a folder
    std::ofstream((dir / "empty.txt").string());
    EXPECT_EQ(n.LoadFromFile((dir / "empty.txt").string()), nullptr);
    std::ofstream((dir / "words.txt").string()) << "just words, no tags";
    EXPECT_EQ(n.LoadFromFile((dir / "words.txt").string()), nullptr);
    std::ofstream((dir / "nul.txt").string(), std::ios::binary) << std::string("\0<A></A>", 8);
    EXPECT_EQ(n.LoadFromFile((dir / "nul.txt").string()), nullptr);
    EXPECT_TRUE(n.GetChildren().IsEmpty());

    // A file error is reported in the node's error text, not thrown.
    EXPECT_TRUE(n.GetError().empty());
    EXPECT_FALSE(n.SaveToFile((dir / "no-such-folder" / "x.txt").string()));
    EXPECT_EQ(n.GetError(), "No such file or directory");
    fs::remove_all(dir);
}

// ---- archive form ---------------------------------------------------------------------

TEST(ObjNodeArchive, StoreAndLoadKeepTheWholeTree)
{
    CMFCObjNode root;
    root.ParseText("<R name='r' value='v' sibindex='1' type='2' modified='3' state='4' op='7=x=y;' doc='d' note='n'>"
                   "<A guid='{A}'><A1></A1>a text</A><B></B></R>");
    CMFCObjNode* r = dynamic_cast<CMFCObjNode*>(root.GetChildren().First());
    ASSERT_NE(r, nullptr);
    r->SetImage(5);
    r->SetSelectedImage(-1);

    QByteArray bytes;
    {
        QDataStream out(&bytes, QIODevice::WriteOnly);
        ASSERT_TRUE(r->StoreToArchive(out));
    }
    CMFCObjNode loaded;
    {
        QDataStream in(bytes);
        ASSERT_TRUE(loaded.LoadFromArchive(in));
    }
    EXPECT_EQ(Written(loaded), Written(*r));   // tags, attributes, properties, subtree
    EXPECT_EQ(loaded.GetImage(), 5);
    EXPECT_EQ(loaded.GetSelectedImage(), -1);
    EXPECT_EQ(loaded.FindByTag("A")->GetRawText(), "a text");
    EXPECT_EQ(CheckedShape(&loaded).nodes, 4u);

    // Cut short anywhere, or without the mark: false, and no more nodes than stored.
    for (qsizetype cut = 0; cut < bytes.size(); cut += 7) {
        CMFCObjNode partial;
        QDataStream in(bytes.left(cut));
        EXPECT_FALSE(partial.LoadFromArchive(in)) << cut;
        EXPECT_LE(CheckedShape(&partial).nodes, 4u);
    }
    QByteArray bogus = bytes;
    bogus[0] = 'X';
    CMFCObjNode none;
    QDataStream in(bogus);
    EXPECT_FALSE(none.LoadFromArchive(in));
    EXPECT_TRUE(none.GetChildren().IsEmpty());
}

// ---- hostile input ------------------------------------------------------------------------

TEST(ObjNodeHostile, UnterminatedTagsAndAttributesEndQuietly)
{
    const char* texts[] = {
        "<", "<<", "<>", "< >", "<A", "<A name='x", "<A name=\"x>", "<A name=>", "<A =''>",
        "<A name='x'", "<A><B", "<A></A", "</", "</A", "<?", "<?xml", "<A op='1'>", "<A op='=;=;;=='>",
        "<A op=';;;'>", "<A name='a' name='b'></A>", "<A\x01\xff>", "text only", ">>>", "<A>>></A>",
    };
    for (const char* t : texts) {
        SCOPED_TRACE(t);
        Holder h;
        h.Parse(t);
        TreeShape shape = CheckedShape(&h.node);
        EXPECT_LE(shape.nodes, 3u);
        std::string out = Written(h.node);
        EXPECT_FALSE(out.empty());
    }
    Holder dup;
    CObjNode* a = dup.Parse("<A name='a' name='b'></A>");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetName(), "b");
}

// Random bytes, drawn mostly from the grammar's own characters so that tags, quotes and
// closings meet in every order; each tree must be consistent, writable and re-readable.
TEST(ObjNodeHostile, RandomBytesNeverBreakTheParser)
{
    std::mt19937 random(20240611);
    const std::string alphabet = "<<<>>>//?" "?''\"\"== \t\r\n;;ABCabc01xyz";
    std::size_t elements = 0;
    for (int round = 0; round < 3000; ++round) {
        std::size_t length = random() % 600;
        std::string text;
        for (std::size_t i = 0; i < length; ++i) {
            if (random() % 8 == 0)
                text += static_cast<char>(random() % 256);
            else
                text += alphabet[random() % alphabet.size()];
        }
        CMFCObjNode holder;
        holder.ParseText(text);
        elements += CheckedShape(&holder).nodes - 1;
        std::string out = Written(holder);
        CMFCObjNode again;
        again.ParseText(out);
        CheckedShape(&again);
        CObjNode* clone = holder.CloneTree();
        EXPECT_EQ(CheckedShape(clone).nodes, CheckedShape(&holder).nodes);
        clone->DeleteTree();
        if (HasFailure())
            FAIL() << "round " << round;
    }
    EXPECT_GT(elements, 3000u);   // the inputs did build trees
}

TEST(ObjNodeHostile, HundredThousandLevelsDeep)
{
    const std::size_t depth = 100000;
    std::string text;
    text.reserve(depth * 7 + 16);
    for (std::size_t i = 0; i < depth; ++i)
        text += "<A>";
    text += "core";
    for (std::size_t i = 0; i < depth; ++i)
        text += "</A>";
    text += "<NEXT></NEXT>";

    auto start = std::chrono::steady_clock::now();
    auto* holder = new CObjNode();
    holder->ParseText(text);
    TreeShape shape = CheckedShape(holder);
    EXPECT_EQ(shape.depth, depth);       // the holder is level 0, the outermost A level 1
    EXPECT_EQ(shape.nodes, depth + 2);   // the holder, the chain of A and NEXT
    EXPECT_EQ(holder->GetChildren().GetCount(), 2u);
    EXPECT_NE(holder->FindByTag("NEXT"), nullptr);

    std::string out;
    holder->WriteText(out);
    EXPECT_GT(out.size(), depth * 90);
    CObjNode* clone = holder->CloneTree();
    EXPECT_EQ(CheckedShape(clone).depth, depth);
    std::size_t visited = 0;
    clone->ForEachNode([](CObjNode*, void* n) { ++*static_cast<std::size_t*>(n); }, &visited);
    EXPECT_EQ(visited, depth + 2);
    clone->DeleteTree();

    // Unterminated: the same depth with no closing tags at all.
    CObjNode open;
    open.ParseText(text.substr(0, depth * 3));
    EXPECT_EQ(CheckedShape(&open).depth, depth);
    holder->DeleteTree();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 20.0);
    std::printf("[   info   ] 100000 levels: parse, write, clone, walk, delete in %.2f s\n", seconds);
}

TEST(ObjNodeHostile, TenMegabyteTextsParseInSeconds)
{
    const std::size_t size = 10u << 20;
    struct Case {
        const char* what;
        std::string text;
    };
    std::vector<Case> cases;
    // Content: a few thousand elements of 4 KB each.
    {
        std::string t;
        std::string body(4096, 'x');
        while (t.size() < size)
            t += "<ITEM name='i' op='1=a;2=b;'>" + body + "</ITEM>";
        cases.push_back({"elements", std::move(t)});
    }
    // One opening tag of 10 MB full of attributes, never closed.
    {
        std::string t = "<A ";
        while (t.size() < size)
            t += "k='v' op='1=2;' ";
        cases.push_back({"attributes", std::move(t)});
    }
    // Nothing but tag openers, then nothing but closers.
    cases.push_back({"openers", std::string(size, '<')});
    cases.push_back({"closers", std::string(size, '>')});
    // One property list of 10 MB.
    {
        std::string t = "<P op='";
        for (int i = 0; t.size() < size; ++i)
            t += std::to_string(i % 50000) + "=v;;";
        t += "'></P>";
        cases.push_back({"properties", std::move(t)});
    }

    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto start = std::chrono::steady_clock::now();
        CObjNode holder;
        holder.ParseText(c.text);
        std::string out;
        holder.WriteText(out);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_FALSE(out.empty());
        EXPECT_LT(seconds, 15.0);
        std::printf("[   info   ] 10 MB of %s: parse and write in %.2f s\n", c.what, seconds);
    }
}

TEST(ObjNodeTree, AChildIsListedOnceAndMovesBetweenParents)
{
    auto* first = new CObjNode();
    auto* second = new CObjNode();
    auto* child = new CObjNode();
    first->AddChild(child);
    first->AddChild(child);   // listed twice it would be deleted twice
    EXPECT_EQ(first->GetChildren().GetCount(), 1u);
    second->AddChild(child);  // moves: one owner only
    EXPECT_EQ(first->GetChildren().GetCount(), 0u);
    EXPECT_EQ(second->GetChildren().GetCount(), 1u);
    first->AddChild(first);   // never its own child
    EXPECT_EQ(first->GetChildren().GetCount(), 0u);
    first->DeleteTree();
    second->DeleteTree();
}
