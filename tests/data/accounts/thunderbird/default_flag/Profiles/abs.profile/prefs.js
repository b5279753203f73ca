// No mail.smtp.defaultserver: the default identity names its server. A statement with a
// malformed escape is skipped without taking the next one with it.
user_pref("mail.accountmanager.defaultaccount", "account2");
user_pref("mail.account.account2.identities", "id4");
user_pref("mail.identity.id4.fullName", "bad \u12G4 it's; still inside");
user_pref("mail.identity.id4.smtpServer", "smtp5");
user_pref("mail.identity.id4.useremail", "tb@example.org");
user_pref("mail.smtpserver.smtp5.hostname", "smtp.fallback.example");
user_pref("mail.smtpserver.smtp5.port", 2525);
