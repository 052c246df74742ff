#pragma once
// An owned, named list of heap objects. Copying a list clones every element of the
// other list (for a list of listeners: a new plain listener carrying the same name).
#include <cstddef>
#include <list>
#include <string>
#include <type_traits>

#include "jobs/cobj.h"

class CListener;

template <class T>
class CStdList {
public:
    using iterator = typename std::list<T*>::iterator;
    using const_iterator = typename std::list<T*>::const_iterator;

    CStdList() = default;
    explicit CStdList(bool owns) : m_bOwns(owns) {}
    CStdList(const CStdList&) = delete;
    CStdList& operator=(const CStdList&) = delete;
    virtual ~CStdList() { Clear(); }

    // Copies the name, clears this list, then appends a clone of every element.
    virtual void CopyFrom(const CStdList& other)
    {
        if (&other == this)
            return;
        m_strName = other.m_strName;
        Clear();
        for (T* element : other.m_list) {
            if (element)
                m_list.push_back(CloneElement(*element));
        }
    }

    // One new default element, appended (nothing for a list of listeners).
    virtual T* CreateElement()
    {
        if constexpr (std::is_base_of_v<CObj, T> && std::is_default_constructible_v<T>) {
            T* element = new T();
            m_list.push_back(element);
            return element;
        } else {
            return nullptr;
        }
    }

    // Deletes owned elements and erases every node.
    void Clear()
    {
        if (m_bOwns) {
            for (T* element : m_list)
                DeleteElement(element);
        }
        m_list.clear();
    }

    // Takes ownership when the list owns its elements.
    void Append(T* element) { m_list.push_back(element); }
    // Removes the node without deleting the element; true when it was there.
    bool Detach(T* element)
    {
        for (auto it = m_list.begin(); it != m_list.end(); ++it) {
            if (*it == element) {
                m_list.erase(it);
                return true;
            }
        }
        return false;
    }

    std::size_t GetCount() const { return m_list.size(); }
    bool IsEmpty() const { return m_list.empty(); }
    T* GetAt(std::size_t index) const
    {
        if (index >= m_list.size())
            return nullptr;
        auto it = m_list.begin();
        std::advance(it, static_cast<std::ptrdiff_t>(index));
        return *it;
    }
    T* First() const { return m_list.empty() ? nullptr : m_list.front(); }
    T* Last() const { return m_list.empty() ? nullptr : m_list.back(); }

    iterator begin() { return m_list.begin(); }
    iterator end() { return m_list.end(); }
    const_iterator begin() const { return m_list.begin(); }
    const_iterator end() const { return m_list.end(); }

    std::string m_strName;
    unsigned char m_bFlag = 0;
    bool m_bOwns = true;

protected:
    std::list<T*> m_list;

private:
    static T* CloneElement(const T& element);
    static void DeleteElement(T* element)
    {
        if constexpr (std::is_base_of_v<CObj, T>) {
            if (element)
                element->Release();
        } else {
            delete element;
        }
    }
};

template <class T>
T* CStdList<T>::CloneElement(const T& element)
{
    if constexpr (std::is_base_of_v<CObj, T>) {
        return static_cast<T*>(element.Clone());
    } else {
        T* copy = new T();
        copy->m_strName = element.m_strName;
        return copy;
    }
}
