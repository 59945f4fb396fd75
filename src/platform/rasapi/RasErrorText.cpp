#include "platform/rasapi/RasErrorText.h"

#include "platform/base/MachineRoot.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>

namespace sp::ras {

namespace {

// Index = code - 600.
constexpr std::array<std::string_view, 200> kRasTexts = {
    "An operation is pending.",                                                         // 600
    "An invalid port handle was detected.",                                              // 601
    "The specified port is already open.",                                               // 602
    "The caller's buffer is too small.",                                                 // 603
    "Incorrect information was specified.",                                              // 604
    "The port information cannot be set.",                                               // 605
    "The specified port is not connected.",                                              // 606
    "An invalid event was detected.",                                                    // 607
    "A device was specified that does not exist.",                                       // 608
    "A device type was specified that does not exist.",                                  // 609
    "An invalid buffer was specified.",                                                  // 610
    "A route was specified that is not available.",                                      // 611
    "A route was specified that is not allocated.",                                      // 612
    "An invalid compression was specified.",                                             // 613
    "There were insufficient buffers available.",                                        // 614
    "The specified port was not found.",                                                 // 615
    "An asynchronous request is pending.",                                               // 616
    "The modem (or other connecting device) is already disconnecting.",                  // 617
    "The specified port is not open.",                                                   // 618
    "A connection to the remote computer could not be established, so the port used for this connection was closed.", // 619
    "No endpoints could be determined.",                                                 // 620
    "The system could not open the phone book file.",                                    // 621
    "The system could not load the phone book file.",                                    // 622
    "The system could not find the phone book entry for this connection.",               // 623
    "The system could not update the phone book file.",                                  // 624
    "The system found invalid information in the phone book file.",                      // 625
    "A string could not be loaded.",                                                     // 626
    "A key could not be found.",                                                         // 627
    "The connection was terminated by the remote computer before it could be completed.", // 628
    "The connection was closed by the remote computer.",                                 // 629
    "The modem (or other connecting device) was disconnected due to hardware failure.",  // 630
    "The user disconnected the modem (or other connecting device).",                     // 631
    "An incorrect structure size was detected.",                                         // 632
    "The modem (or other connecting device) is already in use or is not configured properly.", // 633
    "Your computer could not be registered on the remote network.",                      // 634
    "There was an unknown error.",                                                       // 635
    "The device attached to the port is not the one expected.",                          // 636
    "A string was detected that could not be converted.",                                // 637
    "The remote server is not responding in a timely fashion.",                          // 638
    "No asynchronous net is available.",                                                 // 639
    "An error has occurred involving NetBIOS.",                                          // 640
    "The server cannot allocate NetBIOS resources needed to support the client.",        // 641
    "One of your computer's NetBIOS names is already registered on the remote network.", // 642
    "A network adapter at the server failed.",                                           // 643
    "You will not receive network message popups.",                                      // 644
    "There was an internal authentication error.",                                       // 645
    "The account is not permitted to log on at this time of day.",                       // 646
    "The account is disabled.",                                                          // 647
    "The password for this account has expired.",                                        // 648
    "The account does not have permission to dial in.",                                  // 649
    "The remote access server is not responding.",                                       // 650
    "The modem (or other connecting device) has reported an error.",                     // 651
    "There was an unrecognized response from the modem (or other connecting device).",   // 652
    "A macro required by the modem (or other connecting device) was not found in the device .INF file.", // 653
    "A command or response in the device .INF file section refers to an undefined macro.", // 654
    "The <message> macro was not found in the device .INF file section.",                // 655
    "The <defaultoff> macro in the device .INF file section contains an undefined macro.", // 656
    "The device .INF file could not be opened.",                                         // 657
    "The device name in the device .INF or media .INI file is too long.",                // 658
    "The media .INI file refers to an unknown device name.",                             // 659
    "The device .INF file contains no responses for the command.",                       // 660
    "The device .INF file is missing a command.",                                        // 661
    "There was an attempt to set a macro not listed in device .INF file section.",       // 662
    "The media .INI file refers to an unknown device type.",                             // 663
    "The system has run out of memory.",                                                 // 664
    "The modem (or other connecting device) is not properly configured.",                // 665
    "The modem (or other connecting device) is not functioning.",                        // 666
    "The system was unable to read the media .INI file.",                                // 667
    "The connection was terminated.",                                                    // 668
    "The usage parameter in the media .INI file is invalid.",                            // 669
    "The system was unable to read the section name from the media .INI file.",          // 670
    "The system was unable to read the device type from the media .INI file.",           // 671
    "The system was unable to read the device name from the media .INI file.",           // 672
    "The system was unable to read the usage from the media .INI file.",                 // 673
    "The system was unable to read the maximum connection BPS rate from the media .INI file.", // 674
    "The system was unable to read the maximum carrier connection speed from the media .INI file.", // 675
    "The phone line is busy.",                                                           // 676
    "A person answered instead of a modem (or other connecting device).",                // 677
    "The remote computer did not respond.",                                              // 678
    "The system could not detect the carrier.",                                          // 679
    "There was no dial tone.",                                                           // 680
    "The modem (or other connecting device) reported a general error.",                  // 681
    "There was an error in writing the section name.",                                   // 682
    "There was an error in writing the device type.",                                    // 683
    "There was an error in writing the device name.",                                    // 684
    "There was an error in writing the maximum connection speed.",                       // 685
    "There was an error in writing the maximum carrier speed.",                          // 686
    "There was an error in writing the usage.",                                          // 687
    "There was an error in writing the default-off.",                                    // 688
    "There was an error in reading the default-off.",                                    // 689
    "The media .INI file is empty.",                                                     // 690
    "Access was denied because the username and/or password was invalid on the domain.", // 691
    "There was a hardware failure in the modem (or other connecting device).",           // 692
    "A macro is not a binary macro.",                                                    // 693
    "The device control block was not found.",                                           // 694
    "The state machines are not started.",                                               // 695
    "The state machines are already started.",                                           // 696
    "The response looping did not complete.",                                            // 697
    "A response keyname in the device .INF file is not in the expected format.",         // 698
    "The modem (or other connecting device) response caused a buffer overflow.",         // 699
    "The expanded command in the device .INF file is too long.",                         // 700
    "The modem moved to a connection speed not supported by the COM driver.",            // 701
    "Device response received when none expected.",                                      // 702
    "The connection needs information from you, but the application does not allow user interaction.", // 703
    "The callback number is invalid.",                                                   // 704
    "The authorization state is invalid.",                                               // 705
    "There was an error writing the initial connection speed.",                          // 706
    "There was an error related to the X.25 protocol.",                                  // 707
    "The account has expired.",                                                          // 708
    "There was an error changing the password on the domain.",                           // 709
    "Serial overrun errors were detected while communicating with the modem.",           // 710
    "The Remote Access Service Manager could not start.",                                // 711
    "The two-way port is initializing. Wait a few seconds and redial.",                  // 712
    "No active ISDN lines are available.",                                               // 713
    "No ISDN channels are available to make the call.",                                  // 714
    "Too many errors occurred because of poor phone line quality.",                      // 715
    "The Remote Access Service IP configuration is unusable.",                           // 716
    "No IP addresses are available in the static pool of Remote Access Service IP addresses.", // 717
    "The connection was terminated because the remote computer did not respond in a timely manner.", // 718
    "The connection was terminated by the remote computer.",                             // 719
    "A connection to the remote computer could not be established. You might need to change the network settings for this connection.", // 720
    "The remote computer did not respond.",                                              // 721
    "Invalid data was received from the remote computer. This data was ignored.",        // 722
    "The phone number, including prefix and suffix, is too long.",                       // 723
    "The IPX protocol cannot dial out on the modem (or other connecting device) because this computer is not configured for dialing out.", // 724
    "The IPX protocol cannot dial in on the modem (or other connecting device) because this computer is not configured for dialing in.", // 725
    "The IPX protocol cannot be used for dialing out on more than one modem (or other connecting device) at a time.", // 726
    "Cannot access TCPCFG.DLL.",                                                         // 727
    "The system cannot find an IP adapter.",                                             // 728
    "SLIP cannot be used unless the IP protocol is installed.",                          // 729
    "Computer registration is not complete.",                                            // 730
    "The protocol is not configured.",                                                   // 731
    "Your computer and the remote computer could not agree on PPP control protocols.",   // 732
    "A connection to the remote computer could not be completed. You might need to adjust the protocols on this computer.", // 733
    "The PPP link control protocol was terminated.",                                     // 734
    "The requested address was rejected by the server.",                                 // 735
    "The remote computer terminated the control protocol.",                              // 736
    "Loopback was detected.",                                                            // 737
    "The server did not assign an address.",                                             // 738
    "The authentication protocol required by the remote server cannot use the stored password.", // 739
    "An invalid dialing rule was detected.",                                             // 740
    "The local computer does not support the required data encryption type.",            // 741
    "The remote computer does not support the required data encryption type.",           // 742
    "The remote computer requires data encryption.",                                     // 743
    "The system cannot use the IPX network number assigned by the remote computer.",     // 744
    "The SMM is invalid.",                                                               // 745
    "The SMM is not initialized.",                                                       // 746
    "No MAC is available for the port.",                                                 // 747
    "The SMM timed out.",                                                                // 748
    "A bad phone number was supplied.",                                                  // 749
    "The wrong module was used.",                                                        // 750
    "The callback number contains an invalid character.",                                // 751
    "A syntax error was encountered while processing a script.",                         // 752
    "The connection could not be disconnected because it was created by the multi-protocol router.", // 753
    "The system could not find the multi-link bundle.",                                  // 754
    "The system cannot perform automated dial because this connection has a custom dialer specified.", // 755
    "This connection is already being dialed.",                                          // 756
    "Remote Access Services could not be started automatically.",                        // 757
    "Internet Connection Sharing is already enabled on the connection.",                 // 758
    "An error occurred while the existing Internet Connection Sharing settings were being changed.", // 759
    "An error occurred while routing capabilities were being enabled.",                  // 760
    "An error occurred while Internet Connection Sharing was being enabled for the connection.", // 761
    "An error occurred while the local network was being configured for sharing.",       // 762
    "Internet Connection Sharing cannot be enabled.",                                    // 763
    "No smart card reader is installed.",                                                // 764
    "Internet Connection Sharing cannot be enabled. A LAN connection is already configured with the IP address that is required for automatic IP addressing.", // 765
    "A certificate could not be found.",                                                 // 766
    "Internet Connection Sharing cannot be enabled. The LAN connection selected as the private network has more than one IP address configured.", // 767
    "The connection attempt failed because of failure to encrypt data.",                 // 768
    "The specified destination is not reachable.",                                       // 769
    "The remote computer rejected the connection attempt.",                              // 770
    "The connection attempt failed because the network is busy.",                       // 771
    "The remote computer's network hardware is incompatible with the type of call requested.", // 772
    "The connection attempt failed because the destination number has changed.",         // 773
    "The connection attempt failed because of a temporary failure. Try connecting again.", // 774
    "The call was blocked by the remote computer.",                                      // 775
    "The call could not be connected because the remote computer has invoked the Do Not Disturb feature.", // 776
    "The connection attempt failed because the modem (or other connecting device) on the remote computer is out of order.", // 777
    "It was not possible to verify the identity of the server.",                         // 778
    "To dial out using this connection you must use a smart card.",                      // 779
    "An attempted function is not valid for this connection.",                           // 780
    "The encryption attempt failed because no valid certificate was found.",             // 781
    "Connection Sharing and Network Address Translation cannot be enabled because Routing and Remote Access is enabled.", // 782
    "Internet Connection Sharing cannot be enabled. The LAN connection selected as the private network is either not present, or is disconnected from the network.", // 783
    "You cannot dial using this connection at logon time, because it is configured to use a user name different than the one on the smart card.", // 784
    "You cannot dial using this connection at logon time, because it is not configured to use a smart card.", // 785
    "The L2TP connection attempt failed because there is no valid machine certificate on your computer for security authentication.", // 786
    "The L2TP connection attempt failed because the security layer could not authenticate the remote computer.", // 787
    "The L2TP connection attempt failed because the security layer could not negotiate compatible parameters with the remote computer.", // 788
    "The L2TP connection attempt failed because the security layer encountered a processing error during initial negotiations with the remote computer.", // 789
    "The L2TP connection attempt failed because certificate validation on the remote computer failed.", // 790
    "The L2TP connection attempt failed because security policy for the connection was not found.", // 791
    "The L2TP connection attempt failed because security negotiation timed out.",        // 792
    "The L2TP connection attempt failed because an error occurred while negotiating security.", // 793
    "The Framed Protocol RADIUS attribute for this user is not PPP.",                    // 794
    "The Tunnel Type RADIUS attribute for this user is not correct.",                    // 795
    "The Service Type RADIUS attribute for this user is neither Framed nor Callback Framed.", // 796
    "A connection to the remote computer could not be established because the modem was not found or was busy.", // 797
    "A certificate could not be found that can be used with this Extensible Authentication Protocol.", // 798
    "Internet Connection Sharing (ICS) cannot be enabled due to an IP address conflict on the network.", // 799
};

} // namespace

std::string_view ErrorText(uint32_t code)
{
    if (code >= 600 && code < 600 + kRasTexts.size())
        return kRasTexts[code - 600];
    switch (code) {
    // The service's own codes: what the modem said before the dial.
    case 960: return "The SIM card asks for its PIN. Enter it in the phone or modem (this program never stores a PIN), then dial again.";
    case 961: return "The SIM card is blocked and asks for its PUK. Unblock it with the PUK from the operator, then dial again.";
    case 962: return "The modem has no SIM card, or cannot read it. Insert the SIM card, then dial again.";
    case 963: return "The mobile network refused to register the modem. The SIM card may be barred: call the operator.";
    case 964: return "The modem found no mobile network to register with in time: no signal, or no coverage here.";
    case 965: return "The modem is registered on the network but not for packet data (GPRS). Try again later, or ask the operator whether data is enabled for this SIM card.";
    case 966: return "The modem's only port carries the link: it can be asked once the link is down, or through a second AT port (AtPort= in network.ini).";
    case 967: return "The modem's answer to the USSD code could not be read.";
    case 968: return "The network did not answer the USSD code (it ended the session or does not offer the service).";
    case 969: return "The SIM card is locked to another network or wants another code before the modem can register.";
    case 0: return "The operation completed successfully.";
    case 6: return "The handle is invalid.";
    case 8: return "Not enough storage is available to process this command.";
    case 87: return "The parameter is incorrect.";
    case 122: return "The data area passed to a system call is too small.";
    default: return {};
    }
}

namespace {

// The note's file holds one of these words.
constexpr std::string_view kModemManagerNote = "ModemManager";
constexpr std::string_view kNoPeersFileNote = "no-peers-file";
constexpr std::string_view kPeersFileUnreadableNote = "peers-file-unreadable";
constexpr std::string_view kDoctorHint = " Run rasctl doctor to see what stands between this machine and a dial.";
constexpr std::string_view kModemManagerHoldsThePort =
    "ModemManager holds the modem's port and did not release it. Allow this user to control modems "
    "(polkit action org.freedesktop.ModemManager1.Device.Control) or stop ModemManager "
    "(sudo systemctl stop ModemManager).";
constexpr std::string_view kNoPeersFile =
    "pppd's options for this program are missing: /etc/ppp/peers/skyportal is not there. Restore it with "
    "sudo apt-get install --reinstall -o Dpkg::Options::=--force-confmiss skyportal";
constexpr std::string_view kPeersFileUnreadable =
    "pppd's options for this program in /etc/ppp/peers/skyportal cannot be read by this user, who is not in the "
    "group dip: sudo adduser $USER dip, then log in again.";

std::filesystem::path NotePath() { return MachineRunDir() / "port-holder"; }

std::string_view NoteWord(DialNote note)
{
    switch (note) {
    case DialNote::ModemManagerHoldsPort: return kModemManagerNote;
    case DialNote::NoPeersFile: return kNoPeersFileNote;
    case DialNote::PeersFileUnreadable: return kPeersFileUnreadableNote;
    case DialNote::None: break;
    }
    return {};
}

} // namespace

void NoteDial(DialNote note)
{
    const std::filesystem::path path = NotePath();
    const std::string_view word = NoteWord(note);
    if (word.empty()) {
        ::unlink(path.c_str());
        return;
    }
    const std::string temp = path.string() + ".new";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    const bool written = ::write(fd, word.data(), word.size()) == static_cast<ssize_t>(word.size());
    ::close(fd);
    if (!written || std::rename(temp.c_str(), path.c_str()) != 0)
        ::unlink(temp.c_str());
}

DialNote NotedDial()
{
    const int fd = ::open(NotePath().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return DialNote::None;
    char buf[32];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    const std::string_view word = n > 0 ? std::string_view(buf, static_cast<size_t>(n)) : std::string_view();
    for (const DialNote note : {DialNote::ModemManagerHoldsPort, DialNote::NoPeersFile, DialNote::PeersFileUnreadable}) {
        if (word == NoteWord(note))
            return note;
    }
    return DialNote::None;
}

std::string DialErrorText(uint32_t code)
{
    if (code != 633 && code != 720)
        return std::string(ErrorText(code));
    const DialNote note = NotedDial();
    std::string text(ErrorText(code));
    if (code == 633 && note == DialNote::ModemManagerHoldsPort)
        text = kModemManagerHoldsThePort;
    else if (code == 720 && note == DialNote::NoPeersFile)
        text = kNoPeersFile;
    else if (code == 720 && note == DialNote::PeersFileUnreadable)
        text = kPeersFileUnreadable;
    return text + std::string(kDoctorHint);
}

} // namespace sp::ras
