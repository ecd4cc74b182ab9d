#include "receipt_step.h"

#include <algorithm>
#include <memory>

#include "clock.h"
#include "error.h"
#include "settings/app_configuration.h"
#include "settings/computer_name.h"
#include "settings/paths.h"

namespace trellisant {

ReceiptStep::ReceiptStep(LogSink log, PendingReceipts pending, std::function<ReceiptAuthor()> author,
                         ReceivedHistory history)
    : log_(std::move(log)), pending_(std::move(pending)), author_(std::move(author)), history_(std::move(history)) {}

ReceiptAuthor ReceiptStep::defaultAuthor() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return {computerName(), std::string(AppConfiguration::version()),
          std::chrono::duration_cast<std::chrono::seconds>(now).count()};
}

VerifyTap ReceiptStep::tap() {
  return [this](const Delivery& delivery, const ManifestFile& file) { return ledger_.tap(delivery, file); };
}

void ReceiptStep::due(const Delivery& delivery, const std::vector<ManifestFile>& files) {
  ledger_.expect(delivery, files);
  try {
    pending_.add(delivery, files);
  } catch (const std::exception& error) {
    log_("receipt of delivery " + delivery.id + " not recorded as due: " + userMessage(error));
  }
}

ReceiptState ReceiptStep::write(const Delivery& delivery, const std::vector<ManifestFile>& files,
                                const std::filesystem::path& root) {
  ReceiptOutcome outcome = ReceiptOutcome::nothingToList;
  ReceiptState state = ReceiptState::failed;
  try {
    outcome = writeReceipt(delivery, files, root, ledger_, author_());
    state = outcome == ReceiptOutcome::nothingToList ? ReceiptState::none : ReceiptState::written;
    if (outcome == ReceiptOutcome::written || outcome == ReceiptOutcome::mismatch)
      log_("receipt of delivery " + delivery.id + " written");
  } catch (const std::exception& error) {
    log_("receipt of delivery " + delivery.id + " not written: " + userMessage(error));
  }
  ledger_.forget(delivery.id);
  // Recorded before the receipt stops being due: a cut before the delivery's record is written
  // leaves the outcome on its note, or the receipt still due.
  try {
    if (state != ReceiptState::none) history_.receipt(delivery.id, state);
  } catch (const std::exception& error) {
    log_("receipt of delivery " + delivery.id + " not recorded in the received history: " + userMessage(error));
  }
  try {
    pending_.remove(delivery.id);
  } catch (const std::exception& error) {
    log_("receipt of delivery " + delivery.id + " still recorded as due: " + userMessage(error));
  }
  if (outcome == ReceiptOutcome::mismatch) throw TrellisantError(kSenderMismatch);
  return state;
}

void ReceiptStep::catchUp(const std::vector<Delivery>& listed, const std::filesystem::path& root,
                          const std::function<void(const Delivery&, std::exception_ptr)>& failed) {
  std::unique_ptr<Journal> journal;
  for (const auto& entry : pending_.all()) {
    const std::string& id = entry.delivery.id;
    if (std::any_of(listed.begin(), listed.end(), [&](const Delivery& d) { return d.id == id; })) continue;
    if (!journal) journal = std::make_unique<Journal>(Paths::journalFile());
    bool complete = true;
    try {
      for (const ManifestFile& file : entry.files)
        // "finalized": the server may have heard of the file before the agent stopped.
        complete = complete && journal->record(id, file).state.value_or(JournalState::partial) != JournalState::partial;
    } catch (const TrellisantError&) {
      complete = false;  // a file of another version: this receipt can no longer be written
    }
    try {
      if (complete) write(entry.delivery, entry.files, root);
      else pending_.remove(id);
    } catch (...) {
      failed(entry.delivery, std::current_exception());
    }
  }
}

}  // namespace trellisant
