// The profile with Default=1, which the [Install...] section overrides.
user_pref("mail.accountmanager.defaultaccount", "account1");
user_pref("mail.account.account1.identities", "id1");
user_pref("mail.identity.id1.useremail", "wrong@example.org");
user_pref("mail.smtp.defaultserver", "smtp1");
user_pref("mail.smtpserver.smtp1.hostname", "smtp.wrong.example");
