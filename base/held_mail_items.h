// Items that the programs around the monitor put on held mail, and that the
// monitor and the router read: the contract of the milter's mail.
#ifndef BASE_HELD_MAIL_ITEMS_H_
#define BASE_HELD_MAIL_ITEMS_H_

namespace zul {

// Set by the milter on mail it stores and waits for: the milter gives its
// verdict in the SMTP dialogue and removes the document itself, so the
// router never delivers it. Its value names the milter's run.
inline constexpr char kMilterOwnerItem[] = "$ZulMilter";
// Set by the monitor on such mail: the names of what it found infected or
// suspicious (results 2 and 3), one entry each.
inline constexpr char kMilterThreatsItem[] = "$ZulMilterThreats";

}  // namespace zul

#endif  // BASE_HELD_MAIL_ITEMS_H_
