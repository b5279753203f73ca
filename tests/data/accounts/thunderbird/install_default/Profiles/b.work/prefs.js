// Mozilla User Preferences

/* user_pref("mail.smtp.defaultserver", "smtp1"); in a comment */
# user_pref("mail.smtp.defaultserver", "smtp3");
user_pref("mail.account.account1.identities", " id2 ,id1");
user_pref("mail.accountmanager.defaultaccount", 'account1');
user_pref("mail.identity.id1.useremail", "first@example.org");
user_pref("mail.identity.id2.useremail", "j\u00fcrgen@m\xfcller.example");
user_pref("mail.smtp.defaultserver", "smtp2");
user_pref("mail.smtpserver.smtp1.hostname", "smtp.other.example");
user_pref("mail.smtpserver.smtp2.hostname", "smtp.replaced.example");
user_pref("mail.smtpserver.smtp2.port", 465);
user_pref("mail.smtpserver.smtp2.hostname", "smtp.bär.example");
user_pref("mail.smtpserver.smtp2.try_ssl", 3);
