#pragma once

#include <filesystem>
#include <exception>
#include <functional>
#include <vector>

#include "api/records.h"
#include "download/journal.h"
#include "history/received_history.h"
#include "log.h"
#include "receipt/receipt.h"

namespace trellisant {

// The receipts (ASC MHL) of the agent's deliveries: each file's hashes kept from its verifying
// read until the delivery's receipt is written, and the receipt recorded as due on disk from
// the file list on, so that one a crash prevented is written by a later pass. Each receipt's
// outcome goes to the received history.
class ReceiptStep {
 public:
  explicit ReceiptStep(LogSink log, PendingReceipts pending = PendingReceipts(),
                       std::function<ReceiptAuthor()> author = defaultAuthor,
                       ReceivedHistory history = ReceivedHistory());
  static ReceiptAuthor defaultAuthor();

  VerifyTap tap();
  // Before a delivery's files download.
  void due(const Delivery& delivery, const std::vector<ManifestFile>& files);
  // Once every file of the delivery is in; records the outcome in the history and returns it.
  // Throws TrellisantError kSenderMismatch; any other failure is a log line and the outcome
  // `failed`, never a failure of the delivery.
  ReceiptState write(const Delivery& delivery, const std::vector<ManifestFile>& files, const std::filesystem::path& root);
  // Writes the receipts still due for deliveries the server no longer lists whose files the
  // journal counts as completed; forgets those of deliveries withdrawn unfinished. A mismatch
  // with a sender's history goes to `failed`.
  void catchUp(const std::vector<Delivery>& listed, const std::filesystem::path& root,
               const std::function<void(const Delivery&, std::exception_ptr)>& failed);

 private:
  LogSink log_;
  PendingReceipts pending_;
  std::function<ReceiptAuthor()> author_;
  ReceiptLedger ledger_;
  ReceivedHistory history_;
};

}  // namespace trellisant
