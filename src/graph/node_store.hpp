// NodeStore: the compact storage of a sequence of gate nodes.
//
// A node is one entry in each of a few columns; its qubits and parameters live
// in shared pools, in node order, so that the node only needs to say where its
// run ends (the run begins where the previous node's ends). Names and
// parameter names are interned once per store. A million typical gates take
// tens of megabytes, not hundreds.
//
// Nodes are built in three steps: `begin_node`, any number of `push_qubit`
// and `push_param`, then `end_node`. Until `end_node` the node is not part of
// the store.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fault.hpp"
#include "interner.hpp"
#include "plain_vector.hpp"

namespace velunq {

using NameId = std::uint32_t;

// What a node is: an operation (every node that gate insertion creates), or
// one of the two boundary kinds.
enum class NodeKind : std::uint8_t { Operation, Input, Output };

struct StoredParam {
  NameId name;
  double value;
};

// A position in a store's qubit or parameter pool. Four bytes keep the
// per-node columns small; a store refuses to grow a pool past what it can
// address (std::length_error), which is far beyond any graph that fits in
// memory today.
using PoolIndex = std::uint32_t;

template <class QubitRef, class Index = PoolIndex>
class NodeStore {
 public:
  // The most entries either pool may hold.
  static constexpr std::size_t kMaxPoolSize = std::numeric_limits<Index>::max();

  // The tag column is written last, so it alone says how many nodes are whole.
  std::size_t size() const noexcept { return tags_.size(); }
  bool empty() const noexcept { return tags_.empty(); }
  // The nodes the columns have room for without growing.
  std::size_t node_capacity() const noexcept {
    return std::min({qubit_ends_.capacity(), param_ends_.capacity(), durations_.capacity(), name_ids_.capacity(),
                     tags_.capacity()});
  }

  // Room for that many more nodes, qubits and parameters (growing
  // geometrically, so that many small requests stay linear overall).
  void reserve(std::size_t nodes, std::size_t qubits, std::size_t params) {
    grow(qubit_ends_, nodes);
    grow(param_ends_, nodes);
    grow(durations_, nodes);
    grow(name_ids_, nodes);
    grow(tags_, nodes);
    grow(qubits_, qubits);
    grow(params_, params);
  }

  // Whether that many more qubits and parameters fit the pools.
  bool pools_can_take(std::size_t qubits, std::size_t params) const noexcept {
    return qubits <= kMaxPoolSize - qubits_.size() && params <= kMaxPoolSize - params_.size();
  }

  NameId intern_name(std::string_view name) { return names_.intern(name); }
  // Forgets the names numbered `count` and above, which no node may use (to
  // undo a step that failed part-way).
  void forget_names_from(std::size_t count) noexcept { names_.forget_from(count); }
  // Takes `names` under their numbers, for a store that has none yet: with
  // many names, interning them one by one costs a cache miss each.
  void adopt_names(Interner<std::string>&& names) {
    if (!names_.empty()) throw InternalFault("names adopted by a store that has names");
    names_ = std::move(names);
  }
  // Takes every node of `other`, a store of another qubit type, for a store
  // that has no nodes and no names: the columns, the parameters and the names
  // move over as they are, and `qubits`, other's qubit pool translated entry
  // by entry, becomes the qubit pool. Nothing is copied or allocated; the
  // room `other` holds past its nodes is given back, since the graph keeps
  // these columns for as long as it lives (a sequence may report far more
  // items than it yields, and a pool grows by doubling).
  template <class OtherRef>
  void adopt(NodeStore<OtherRef, Index>&& other, PlainVector<QubitRef>&& qubits) {
    if (!empty() || !names_.empty() || other.has_shared_run_ || qubits.size() != other.qubits_.size()) {
      throw InternalFault("nodes adopted by a store that has nodes or names, or with the wrong qubits");
    }
    qubit_ends_ = std::move(other.qubit_ends_);
    param_ends_ = std::move(other.param_ends_);
    durations_ = std::move(other.durations_);
    name_ids_ = std::move(other.name_ids_);
    tags_ = std::move(other.tags_);
    qubits_ = std::move(qubits);
    params_ = std::move(other.params_);
    names_ = std::move(other.names_);
    boundary_count_ = other.boundary_count_;
    backward_count_ = other.backward_count_;
    wide_qubit_count_ = other.wide_qubit_count_;
    shrink_to_fit();
  }

  // Gives back the room the columns and pools hold past their entries, for a
  // store that is kept long after it was filled (see PlainVector).
  void shrink_to_fit() noexcept {
    qubit_ends_.shrink_to_fit();
    param_ends_.shrink_to_fit();
    durations_.shrink_to_fit();
    name_ids_.shrink_to_fit();
    tags_.shrink_to_fit();
    qubits_.shrink_to_fit();
    params_.shrink_to_fit();
  }

  const std::string& name(NameId id) const noexcept { return names_.key(id); }
  const Interner<std::string>& names() const noexcept { return names_; }

  void begin_node() noexcept {
    ++node_serial_;
    node_params_begin_ = params_.size();
  }

  void push_qubit(QubitRef qubit) { qubits_.push_back(qubit); }

  // Adds a parameter (named by `intern_name` of this store) to the node being
  // built; a name given twice keeps its first place and its last value. The
  // record of names seen grows only here, so that a store whose nodes are
  // copied with `append_param` pays nothing per name for it.
  void push_param(NameId name, double value) {
    if (name >= param_seen_.size()) [[unlikely]] param_seen_.resize(names_.size());
    Seen& seen = param_seen_[name];
    if (seen.serial == node_serial_) {
      params_[seen.position].value = value;
      return;
    }
    seen = Seen{node_serial_, params_.size()};
    params_.push_back(StoredParam{name, value});
  }

  // Adds a parameter that the node being built does not have yet, as when
  // copying a node of a store (a node's names are distinct there). Its name
  // need not have passed through `intern_name` of this store.
  void append_param(NameId name, double value) { params_.push_back(StoredParam{name, value}); }

  void end_node(NameId name, double duration_ns, NodeKind kind = NodeKind::Operation) {
    end_node(name, duration_ns, static_cast<std::uint8_t>(kind));
  }

  // Ends the node with no parameters of its own but the same ones as node
  // `other` (nodes are never changed, so they can share them). A store
  // shares one run of parameters this way, the first one asked for; sharing
  // any other run copies it.
  void end_node_sharing_params(NameId name, double duration_ns, std::size_t other) {
    params_.resize(node_params_begin_);  // the node's own pushes give way
    if (!has_shared_run_) {
      const std::span<const StoredParam> run = params(other);
      shared_begin_ = static_cast<Index>(run.data() - params_.data());
      shared_count_ = static_cast<Index>(run.size());
      shared_owner_ = other;
      has_shared_run_ = true;
    } else if (other != shared_owner_ && !(tags_[other] & kSharesRun)) {
      const std::span<const StoredParam> run = params(other);
      params_.append(run.data(), run.size());
      end_node(name, duration_ns);
      return;
    }
    end_node(name, duration_ns, static_cast<std::uint8_t>(NodeKind::Operation) | kSharesRun);
  }

  // Drops what the node being built has pushed so far (after a failure); the
  // whole nodes keep theirs, whether a node was begun or not.
  void abandon_node() noexcept {
    qubits_.resize(qubit_ends_.empty() ? 0 : qubit_ends_.back());
    params_.resize(param_ends_.empty() ? 0 : param_ends_.back());
  }

  // Drops every node from `count` on, and any node being built, as if they
  // had never been added. None of them may own the shared parameter run (see
  // end_node_sharing_params); nodes that only use it may go. A count past
  // the end drops only the node being built: the columns never grow here.
  void truncate(std::size_t count) noexcept {
    count = std::min(count, size());
    for (std::size_t i = count; i < size(); ++i) {
      const NodeKind kind = kind_of(tags_[i]);
      const std::size_t width = qubits(i).size();
      boundary_count_ -= kind != NodeKind::Operation;
      backward_count_ -= kind == NodeKind::Operation && !(durations_[i] >= 0.0);
      wide_qubit_count_ -= width >= 3 ? width : 0;
    }
    qubit_ends_.resize(count);
    param_ends_.resize(count);
    durations_.resize(count);
    name_ids_.resize(count);
    tags_.resize(count);
    abandon_node();
  }

  double duration(std::size_t i) const noexcept { return durations_[i]; }
  // The time the schedule charges each node: its duration, or 0.0 for a
  // boundary node. A view for loops over many nodes (the kind column is only
  // read when there are boundary nodes at all).
  struct ChargedDurations {
    const double* durations;
    const std::uint8_t* tags;
    bool operations_only;
    double operator[](std::size_t i) const noexcept {
      return operations_only || kind_of(tags[i]) == NodeKind::Operation ? durations[i] : 0.0;
    }
  };
  ChargedDurations charged_durations() const noexcept {
    return {durations_.data(), tags_.data(), boundary_count_ == 0};
  }
  NameId name_id(std::size_t i) const noexcept { return name_ids_[i]; }
  NodeKind kind(std::size_t i) const noexcept { return kind_of(tags_[i]); }

  std::span<const QubitRef> qubits(std::size_t i) const noexcept {
    const std::size_t begin = i == 0 ? 0 : qubit_ends_[i - 1];
    return {qubits_.data() + begin, qubit_ends_[i] - begin};
  }

  std::span<const StoredParam> params(std::size_t i) const noexcept {
    if (tags_[i] & kSharesRun) return {params_.data() + shared_begin_, shared_count_};
    const std::size_t begin = i == 0 ? 0 : param_ends_[i - 1];
    return {params_.data() + begin, param_ends_[i] - begin};
  }

  // Column views for passes that walk every node: node i's qubits end at
  // qubit_ends()[i] in qubit_pool().
  std::span<const QubitRef> qubit_pool() const noexcept { return qubits_; }
  std::span<const Index> qubit_ends() const noexcept { return qubit_ends_; }
  // How many nodes are of a boundary kind (none, unless made on purpose).
  std::size_t boundary_count() const noexcept { return boundary_count_; }
  // How many operations have a negative or NaN duration (with none, every
  // qubit's timeline only moves forward).
  std::size_t backward_count() const noexcept { return backward_count_; }
  // How many qubit entries belong to nodes of three or more qubits.
  std::size_t wide_qubit_count() const noexcept { return wide_qubit_count_; }

  std::size_t qubit_pool_size() const noexcept { return qubits_.size(); }
  std::size_t param_pool_size() const noexcept { return params_.size(); }
  // How much of each pool the first `count` nodes use.
  std::size_t qubit_pool_size(std::size_t count) const noexcept { return count == 0 ? 0 : qubit_ends_[count - 1]; }
  std::size_t param_pool_size(std::size_t count) const noexcept { return count == 0 ? 0 : param_ends_[count - 1]; }

 private:
  // A node's tag: its kind, and whether it uses the shared parameter run.
  static constexpr std::uint8_t kKindMask = 0x3;
  static constexpr std::uint8_t kSharesRun = 0x80;
  static_assert(static_cast<std::uint8_t>(NodeKind::Output) <= kKindMask);
  static NodeKind kind_of(std::uint8_t tag) noexcept { return static_cast<NodeKind>(tag & kKindMask); }

  void end_node(NameId name, double duration_ns, std::uint8_t tag) {
    if (qubits_.size() > kMaxPoolSize || params_.size() > kMaxPoolSize) {
      abandon_node();
      throw std::length_error("the graph's qubit or parameter pool is full");
    }
    const std::size_t n = size();
    const std::size_t width = qubits_.size() - (n == 0 ? 0 : qubit_ends_[n - 1]);
    try {
      qubit_ends_.push_back(static_cast<Index>(qubits_.size()));
      param_ends_.push_back(static_cast<Index>(params_.size()));
      durations_.push_back(duration_ns);
      name_ids_.push_back(name);
      tags_.push_back(tag);
      boundary_count_ += kind_of(tag) != NodeKind::Operation;
      backward_count_ += kind_of(tag) == NodeKind::Operation && !(duration_ns >= 0.0);
      wide_qubit_count_ += width >= 3 ? width : 0;
    } catch (...) {
      // Out of memory part-way: no column may keep a piece of the node (the
      // tag, written last, is not in, so no count has changed).
      truncate(n);
      throw;
    }
  }

  template <class, class>
  friend class NodeStore;

  template <class Column>
  static void grow(Column& items, std::size_t extra) {
    const std::size_t needed = items.size() + extra;
    if (needed > items.capacity()) items.reserve(std::max(needed, items.capacity() + items.capacity() / 2));
  }

  struct Seen {
    std::uint64_t serial = 0;
    std::size_t position = 0;
  };

  // One entry per node, in id order (kept as columns, so that a pass reads
  // only what it needs).
  PlainVector<Index> qubit_ends_;  // one past the node's last qubit in qubits_
  PlainVector<Index> param_ends_;  // one past the node's own parameters in params_
  PlainVector<double> durations_;
  PlainVector<NameId> name_ids_;
  PlainVector<std::uint8_t> tags_;
  // Every node's qubits and parameters, in node order.
  PlainVector<QubitRef> qubits_;
  PlainVector<StoredParam> params_;
  Interner<std::string> names_;
  // Per parameter name: the node being built when it was last pushed, and where.
  std::vector<Seen> param_seen_;
  std::uint64_t node_serial_ = 0;
  std::size_t node_params_begin_ = 0;
  std::size_t boundary_count_ = 0;
  std::size_t backward_count_ = 0;
  std::size_t wide_qubit_count_ = 0;
  // The parameter run that nodes tagged kSharesRun use.
  Index shared_begin_ = 0;
  Index shared_count_ = 0;
  std::size_t shared_owner_ = 0;  // the node whose own run it is
  bool has_shared_run_ = false;
};

}  // namespace velunq
